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
    StringList names = {"T"};
    ZV_MASTER_TABLE master{names, 0};
};

TEST(TableStore, RowsCountedButNeverSetReadAndWriteEmpty) {
    Store store;
    const char* const text = "A,B\n1,a\n2,b\n3,c\n";
    ZVTABLE* table = store.load(text);
    EXPECT_NE(0, table->set_stored_rows(-1));
    EXPECT_NE(0, table->set("A", -1, "x"));
    EXPECT_NE(0, table->write_table_data()) << "a table with a refused set is not written";
    table = store.load(text);
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
    StringList cells;
    table->get("A", cells);
    table->get("B", cells);
    EXPECT_EQ((StringList{"say \"hi\"", big + "15", "plain", "set once"}), cells);
}

TEST(TableStore, DatabaseIsTheNamedDirectoryElseTheVariableAndHoldsOnlyItsTables) {
    Store store;
    writeFile(store.dir.file("...csv"), "A\n1\n"); // what the name ".." would reach
    store.load("A\n1\n");
    const std::string& dir = store.dir.path();
    for (std::string refused : {"../" + dir.substr(dir.rfind('/') + 1) + "/T", std::string("..")})
        EXPECT_EQ(nullptr, store.master.get_class_pointer(refused.c_str())) << refused;

    TempDir other;
    writeFile(other.file("file"), "");
    setenv("ZVDB_DIR", other.path().c_str(), 1);
    std::string named = dir, unnamed, file = other.file("file");
    ZV_MASTER_TABLE master(store.names, 0);
    EXPECT_EQ(0, master.init_data_table(&named[0], 49, 1, 400, 400, nullptr));
    EXPECT_NE(nullptr, master.get_class_pointer("T"));
    EXPECT_EQ(0, master.init_data_table(&unnamed[0], 49, 1, 400, 400, nullptr));
    EXPECT_EQ(nullptr, master.get_class_pointer("T"));
    EXPECT_NE(0, master.init_data_table(&file[0], 49, 1, 400, 400, nullptr)) << "no directory";
    unsetenv("ZVDB_DIR");
}

} // namespace
