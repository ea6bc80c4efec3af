// Databases edited by hand or saved from a spreadsheet, run through the built
// deviceScan: what DETECTOR_SEL (code 6) holds afterwards and what is recorded.
#include "categoryTables.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace testing_support;

const char* const kLoaded = "IO_name,IO_function\nD1,6\n";

struct Case {
    const char* hwConfig;
    const char* before; // DETECTOR_SEL.csv
    const char* after;
    const char* record; // once on standard error; null: no record at all
};

TEST(HandEditedDatabase, TablesAreRightOrKeptWithOneRecord) {
    const Case cases[] = {
        {"\xEF\xBB\xBFIO_name,IO_function\nD1,6\n", "Installed_hw\n", "Installed_hw\nD1\n",
         nullptr},
        {kLoaded, "\xEF\xBB\xBFInstalled_hw,n\nold,k\n", "\xEF\xBB\xBFInstalled_hw,n\nD1,k\n",
         nullptr},
        {"IO_name,IO_function\nD1, 6\nD2,6\t\n", "Installed_hw\n", "Installed_hw\nD1\nD2\n",
         nullptr},
        {"IO_name,IO_function\nD1,6.0\nD2,6\nD3,six\nD4,\n", "Installed_hw\n", "Installed_hw\nD2\n",
         "column IO_function holds no integer in 3 of 4 rows, first in row 0: \"6.0\""},
        {"Name,IO_function\nD1,6\n", "Installed_hw\nold\n", "Installed_hw\nold\n",
         "::Column not found in HW_CONFIG : IO_name; no table rewritten"},
        {"IO_name;IO_function\nD1;6\n", "Installed_hw\nold\n", "Installed_hw\nold\n",
         "::Column not found in HW_CONFIG : IO_function, IO_name; no table rewritten"},
        {"IO_name,IO_function\nD1,6\nD2,6\n", "Foo\nbar\n", "Foo\nbar\n",
         "Table DETECTOR_SEL: no column Installed_hw"},
        {"IO_name,IO_function\nA1,1\n", "Foo\nbar\n", "Foo\nbar\n",
         "::Column not found in DETECTOR_SEL : Installed_hw; table left as it was"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hwConfig);
        TempDir db;
        for (const char* table : kCategoryTables)
            writeFile(db.file(table + std::string(".csv")), "Installed_hw\n");
        writeFile(db.file("HW_CONFIG.csv"), c.hwConfig);
        writeFile(db.file("DETECTOR_SEL.csv"), c.before);
        RunResult result = runCommand("ZVDB_DIR='" + db.path() + "' " + launcher() +
                                      DEVICESCAN_BINARY + " --syslogtodebug");
        EXPECT_EQ(0, result.status);
        EXPECT_EQ(c.after, readFile(db.file("DETECTOR_SEL.csv")));
        if (c.record == nullptr)
            EXPECT_EQ(std::string::npos, result.err.find("SysLog")) << result.err;
        else
            EXPECT_EQ(1, countOf(result.err, c.record)) << result.err;
    }
}

} // namespace
