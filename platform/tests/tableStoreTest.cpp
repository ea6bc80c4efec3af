// The file-backed table store; bytes on disk and malformed files are checked through the scan.
#include "debug.h"
#include "testSupport.h"
#include "wholeFileOs.h"
#include "zvTable.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>

namespace {

using namespace testing_support;

// A table of the longest name a directory entry takes, its file of mode 0604 (nobody's, as root).
struct Store {
    ZVTABLE* load(const std::string& text, int result = 0) {
        writeFile(path, text);
        EXPECT_EQ(0, chmod(path.c_str(), 0604));
        EXPECT_TRUE(geteuid() != 0 || chown(path.c_str(), 65534, 65534) == 0);
        std::string name = dir.path();
        EXPECT_EQ(0, master.init_data_table(&name[0], 49, 1, 400, 400, nullptr));
        ZVTABLE* table = master.get_class_pointer(std::string(251, 'T').c_str());
        EXPECT_EQ(result, table->read_table_data());
        return table;
    }
    TempDir dir;
    const std::string path = dir.file(std::string(251, 'T') + ".csv");
    StringList names;
    ZV_MASTER_TABLE master{names, 0};
};

// A first column named by the byte-order mark's bytes is quoted, so as not to read as a mark.
TEST(TableStore, RowsCountedButNeverSetReadAndWriteEmpty) {
    Store store;
    const std::string a = "\xEF\xBB\xBF";
    ZVTABLE* table = store.load("\"" + a + "\",b,c,d\n1,2,3,4\n5,6,7,8\n");
    ASSERT_EQ(0, table->set_stored_rows(1));
    ASSERT_EQ(0, table->set_stored_rows(3)); // the rows cut do not come back
    StringList cells;
    table->get(a, cells);
    EXPECT_EQ((StringList{"1", "", ""}), cells);
    std::string cell = "kept";
    EXPECT_NE(0, table->get("b", 3, cell));
    ASSERT_EQ(0, table->set(a, 3, "x"));
    EXPECT_NE(0, table->set_stored_rows(1 << 30)) << "more rows than a file holds";
    // Written with its mode and owner; a failed directory sync is reported.
    wholeFileOs().fsync = [](int fd) {
        return fcntl(fd, F_GETFL) & O_DIRECTORY ? (errno = EIO, -1) : fsync(fd);
    };
    EXPECT_NE(0, table->write_table_data());
    wholeFileOs().fsync = fsync;
    EXPECT_EQ("\"" + a + "\",b,c,d\n1,2,3,4\n,,,\n,,,\nx,,,\n", readFile(store.path));
    ASSERT_EQ(0, table->write_table_data());
    struct stat st {};
    ASSERT_EQ(0, stat(store.path.c_str(), &st));
    EXPECT_EQ(0604u, st.st_mode & 0777);
    EXPECT_EQ(geteuid() == 0 ? 65534u : geteuid(), st.st_uid);
    EXPECT_EQ(geteuid() == 0 ? 65534u : getegid(), st.st_gid);
}

TEST(TableStore, RefusesWhatNoTableHoldsAndWhatLiesOutsideTheDatabase) {
    Store store;
    ZVTABLE* table = store.load("a,b,c,d\n1,2,3,4\n");
    Syslogtodebug = 1;
    testing::internal::CaptureStderr();
    EXPECT_NE(0, table->set("a", -1, "x"));
    EXPECT_NE(0, table->set("d", 1073741823, "x"));
    EXPECT_NE(0, table->write_table_data()) << "a table with a refused set is not written";
    StringList none;
    table->get("z", none);
    table->get("z", none);
    table->read_table_data(); // records once a load
    table->get("z", none);
    unlink(store.path.c_str());
    ASSERT_EQ(0, mkfifo(store.path.c_str(), 0600));
    EXPECT_NE(0, table->read_table_data()) << "blocked or read a FIFO";
    unlink(store.path.c_str());
    const std::string records = testing::internal::GetCapturedStderr();
    Syslogtodebug = 0;
    EXPECT_EQ(1, countOf(records, "refused")) << records;
    EXPECT_EQ(1, countOf(records, "2 sets failed")) << records;
    EXPECT_EQ(2, countOf(records, "no column z")) << records;
    EXPECT_EQ(1, countOf(records, ": not a regular file")) << records;
    // Column names alike in their first eight bytes, or in neither, or of other sizes, told
    // apart; integers at both ends of a long.
    table = store.load("Installed_hw,Installed_hx,Xnstalled_hw,Installed\n" +
                       std::to_string(LONG_MIN) + "," + std::to_string(LONG_MAX) + ",7,8\n");
    std::vector<long> ends(4);
    const char* const columns[] = {"Installed_hw", "Installed_hx", "Xnstalled_hw", "Installed"};
    for (std::size_t i = 0; i < ends.size(); ++i)
        table->get(columns[i], 0, ends[i]);
    EXPECT_EQ((std::vector<long>{LONG_MIN, LONG_MAX, 7, 8}), ends);
    store.load("x,,\n1,,\n"); // empty column names, as a spreadsheet leaves them
    table = store.load("a,b\n\"1\n", 1);
    EXPECT_NE(0, table->set("a", 0, "x")) << "a table that did not load has no column";
    // A wide file loads; one of 3 GiB (sparse) is refused unread.
    const std::string wide(65535, ',');
    table = store.load(wide + "\n" + wide + '"' + std::string(65536, '\n') + "\"\n");
    ASSERT_EQ(0, truncate(store.path.c_str(), 3LL << 30));
    EXPECT_NE(0, table->read_table_data());
    writeFile(store.dir.file("...csv"), ""); // what the name ".." would reach
    EXPECT_EQ(nullptr, store.master.get_class_pointer(".."));
    ASSERT_EQ(0, mkdir(store.dir.file("Dir.csv").c_str(), 0700)); // no table file either
    EXPECT_EQ(nullptr, store.master.get_class_pointer("Dir"));
    std::string file = store.path; // a file, not a directory
    EXPECT_NE(0, store.master.init_data_table(&file[0], 49, 1, 400, 400, nullptr));
}

// Where the owner may not be kept, group and mode are; a file gone since its load comes back
// as a new file would. A table never loaded, or whose load failed, is not written.
TEST(TableStore, ReplacementKeepsGroupAndModeAndRefusesWhatDidNotLoad) {
    Store store;
    ZVTABLE* table = store.load("a\n\n1\n"); // one column: the blank line is a row
    const gid_t group = geteuid() == 0 ? 1234 : getegid();
    ASSERT_EQ(0, chown(store.path.c_str(), geteuid() == 0 ? 65534 : geteuid(), group));
    ASSERT_EQ(0, chmod(store.path.c_str(), 0660));
    const WholeFileOs real = wholeFileOs();
    wholeFileOs().fchown = [](int fd, uid_t owner, gid_t to) {
        return owner != static_cast<uid_t>(-1) ? (errno = EPERM, -1) : fchown(fd, owner, to);
    };
    ASSERT_EQ(0, table->set("a", 0, "2"));
    EXPECT_EQ(0, table->write_table_data());
    struct stat st {};
    ASSERT_EQ(0, stat(store.path.c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 07777);
    EXPECT_EQ(group, st.st_gid);
    ASSERT_EQ(0, unlink(store.path.c_str()));
    const mode_t mask = umask(027);
    EXPECT_EQ(0, table->write_table_data());
    umask(mask);
    ASSERT_EQ(0, stat(store.path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ("a\n2\n1\n", readFile(store.path));
    ASSERT_EQ(0, table->set("a", 0, "3"));
    wholeFileOs().create = [](const char*, int, mode_t) { return errno = EACCES, -1; };
    EXPECT_NE(0, table->write_table_data());
    wholeFileOs().read = [](int, void*, size_t) -> ssize_t { return errno = EIO, -1; };
    EXPECT_NE(0, table->read_table_data());
    wholeFileOs() = real;
    EXPECT_NE(0, table->write_table_data());
    writeFile(store.dir.file("Fresh.csv"), "a\n1\n");
    EXPECT_NE(0, store.master.get_class_pointer("Fresh")->write_table_data());
}

// Values set over and over are compacted away; every live cell outside the file keeps its text.
TEST(TableStore, CompactionKeepsEveryLiveCell) {
    Store store;
    ZVTABLE* table = store.load("A,B\n\"say \"\"hi\"\"\",plain\n");
    ASSERT_EQ(0, table->set("B", 1, "set once"));
    const std::string big(100000, 'x');
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(0, table->set("A", 1, big + std::to_string(i)));
    StringList cells;
    table->get("A", cells);
    table->get("B", cells);
    EXPECT_EQ((StringList{"say \"hi\"", big + "15", "plain", "set once"}), cells);
}

} // namespace
