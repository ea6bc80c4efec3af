// Hand-edited databases through the built deviceScan: DETECTOR_SEL afterwards, and the records.
#include "testSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;

TEST(HandEditedDatabase, TablesAreRightOrKeptWithOneRecord) {
    const char* const cases[][4] = {
        // HW_CONFIG, DETECTOR_SEL before and after, record or none
        {"\xEF\xBB\xBFIO_name,IO_function\nD1,6\n", "\xEF\xBB\xBFInstalled_hw,n\nold,k\n",
         "\xEF\xBB\xBFInstalled_hw,n\nD1,k\n", nullptr},
        {"IO_name,IO_function\na, 6\t\nb,6.0\nc,six\nd,\n", "Installed_hw\n", "Installed_hw\na\n",
         "IO_function holds no integer in 3 of 4 rows, first in row 1: \"6.0\""},
        {"Name,IO_function\nD1,6\n", "Installed_hw\nold\n", "Installed_hw\nold\n",
         "::Column not found in HW_CONFIG : IO_name; no table rewritten"},
        {"IO_name,IO_function\nD1,6\nD2,6\n", "Foo\nbar\n", "Foo\nbar\n",
         "Table DETECTOR_SEL: no column Installed_hw"},
        {"IO_name,IO_function\nA1,1\n", "Foo\nbar\n", "Foo\nbar\n",
         "::Column not found in DETECTOR_SEL : Installed_hw; table left as it was"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        TempDir db;
        writeFile(db.file("HW_CONFIG.csv"), c[0]);
        writeFile(db.file("DETECTOR_SEL.csv"), c[1]);
        RunResult result = runCommand("ZVDB_DIR='" + db.path() + "' " + launcher() +
                                      DEVICESCAN_BINARY + " --syslogtodebug");
        EXPECT_EQ(0, result.status);
        EXPECT_EQ(c[2], readFile(db.file("DETECTOR_SEL.csv")));
        EXPECT_EQ(c[3] != nullptr ? 1 : 0, countOf(result.err, c[3] != nullptr ? c[3] : "zvTable@"))
            << result.err;
    }
}

} // namespace
