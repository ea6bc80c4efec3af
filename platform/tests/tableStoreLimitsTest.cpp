// The table store at its limits: each file or call refused or reported, the file kept as it was.
#include "tableStoreOs.h"
#include "testSupport.h"
#include "zvTable.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

int dirSyncs = 0;

TEST(TableStoreLimits, RefusedOrReportedAndTheFileKept) {
    const std::string wide(65535, ','), four = "a,b,c,d\n1,2,3,4\n";
    // The file (empty: a sparse one of 3 GiB); a call after the load, or none; whether the load or
    // that call fails; whether the write fails (the first directory sync does).
    const std::tuple<std::string, int (*)(ZVTABLE&), bool, bool> cases[] = {
        {wide + "\n" + wide + '"' + std::string(65536, '\n') + "\"\n", nullptr, false, true},
        {"", nullptr, true, true},
        {four, [](ZVTABLE& t) { return t.set_stored_rows(1 << 30); }, true, false},
        {four, [](ZVTABLE& t) { return t.set("d", 1073741823, "X"); }, true, true},
    };
    testing_support::TempDir dir;
    const std::string name(251, 'T'), path = dir.file(name + ".csv"); // fills a directory entry
    StringList names;
    ZV_MASTER_TABLE master(names, 0);
    dirSyncs = 0;
    tableStoreOs().fsync = [](int fd) {
        return fcntl(fd, F_GETFL) & O_DIRECTORY && dirSyncs++ == 0 ? (errno = EIO, -1) : fsync(fd);
    };
    for (const auto& [text, call, refused, writeFails] : cases) {
        SCOPED_TRACE(text.substr(0, 9));
        testing_support::writeFile(path, text);
        ASSERT_EQ(0, truncate(path.c_str(), text.empty() ? 3LL << 30 : text.size()));
        ASSERT_TRUE(geteuid() != 0 || chown(path.c_str(), 65534, 65534) == 0);
        master.init_data_table(&std::string(dir.path())[0], 49, 1, 400, 400, nullptr);
        ZVTABLE& table = *master.get_class_pointer(name.c_str());
        int result = table.read_table_data();
        EXPECT_EQ(refused, (call != nullptr ? call(table) : result) != 0);
        EXPECT_EQ(writeFails, table.write_table_data() != 0);
        ASSERT_EQ(0, truncate(path.c_str(), text.size()));
        EXPECT_EQ(text, testing_support::readFile(path));
        struct stat st {};
        ASSERT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(geteuid() == 0 ? 65534u : geteuid(), st.st_uid);
        EXPECT_EQ(geteuid() == 0 ? 65534u : getegid(), st.st_gid);
    }
    tableStoreOs().fsync = fsync;
}

} // namespace
