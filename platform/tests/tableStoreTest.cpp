// The file-backed table store: row counts, compaction, and the database
// directory. Bytes on disk and malformed files are checked through the scan.
#include "testSupport.h"
#include "zvTable.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;

// Table T of a master table over a scratch directory, loaded from text.
struct Store {
    ZVTABLE* load(const std::string& text, int result = 0) {
        writeFile(dir.file("T.csv"), text);
        std::string name = dir.path();
        EXPECT_EQ(0, master.init_data_table(&name[0], 49, 1, 400, 400, nullptr));
        ZVTABLE* table = master.get_class_pointer("T");
        EXPECT_EQ(result, table->read_table_data());
        return table;
    }
    TempDir dir;
    StringList names = {"T", "LISTED_MISSING"};
    ZV_MASTER_TABLE master{names, 0};
};

TEST(TableStore, RowsCountedButNeverSetReadAndWriteEmpty) {
    Store store;
    ZVTABLE* table = store.load("A,B\n1,a\n2,b\n3,c\n");
    EXPECT_NE(0, table->set("C", 0, "x"));
    EXPECT_NE(0, table->set("A", -1, "x"));
    EXPECT_NE(0, table->set_stored_rows(-1));
    ASSERT_EQ(0, table->set_stored_rows(1));
    ASSERT_EQ(0, table->set_stored_rows(3)); // the rows cut do not come back
    StringList b;
    table->get("B", b);
    EXPECT_EQ((StringList{"a", "", ""}), b);
    ASSERT_EQ(0, table->set("A", 3, "x"));
    ASSERT_EQ(0, table->write_table_data());
    EXPECT_EQ("A,B\n1,a\n,\n,\nx,\n", readFile(store.dir.file("T.csv")));

    table = store.load("A,B\n\"1\n", 1);
    EXPECT_NE(0, table->set("A", 0, "x")) << "a table that did not load has no column";
}

// Values set over and over are compacted away; every live cell held outside
// the loaded file (unescaped, or set) keeps its text.
TEST(TableStore, CompactionKeepsEveryLiveCell) {
    Store store;
    ZVTABLE* table = store.load("A,B\n\"say \"\"hi\"\"\",plain\n");
    ASSERT_EQ(0, table->set("B", 1, "set once"));
    const std::string big(100000, 'x');
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(0, table->set("A", 1, big + std::to_string(i)));
    StringList a, b;
    table->get("A", a);
    table->get("B", b);
    EXPECT_EQ((StringList{"say \"hi\"", big + "15"}), a);
    EXPECT_EQ((StringList{"plain", "set once"}), b);
}

TEST(TableStore, DatabaseIsTheNamedDirectoryElseTheVariable) {
    Store store;
    writeFile(store.dir.file("...csv"), "A\n1\n"); // what the name ".." would reach
    store.load("A\n1\n");
    const std::string& dir = store.dir.path();
    for (std::string refused : {"../" + dir.substr(dir.rfind('/') + 1) + "/T", std::string(".."),
                                std::string("LISTED_MISSING")})
        EXPECT_EQ(nullptr, store.master.get_class_pointer(refused.c_str())) << refused;

    // 1: T found; 0: not found; -1: init_data_table failed.
    TempDir other;
    writeFile(other.file("file"), "");
    auto found = [&store](std::string name, const std::string& variable) {
        setenv("ZVDB_DIR", variable.c_str(), 1);
        ZV_MASTER_TABLE master(store.names, 0);
        int result = master.init_data_table(&name[0], 49, 1, 400, 400, nullptr);
        return result != 0 ? -1 : master.get_class_pointer("T") != nullptr ? 1 : 0;
    };
    EXPECT_EQ(1, found(dir, other.path()));
    EXPECT_EQ(1, found("", dir));
    EXPECT_EQ(0, found("", other.path()));
    EXPECT_EQ(-1, found(store.dir.file("missing"), dir));
    EXPECT_EQ(-1, found(other.file("file"), dir));
    unsetenv("ZVDB_DIR");
}

} // namespace
