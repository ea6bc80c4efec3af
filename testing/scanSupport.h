// Helpers of the deviceScan suites: scratch databases, and the program's steps in-process.
#pragma once

#include "debug.h"
#include "debugInternal.h"
#include "deviceScan.h"
#include "scanPreview.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <map>

namespace testing_support {

using Tables = std::map<std::string, std::string>;

// The category tables in scan order, written out so that a change to the program's list shows.
// clang-format off
inline const char* const kCategoryTables[] = {
    "ANALOG_INPUTS_SEL", "ANALOG_OUTPUTS_SEL", "DIGITAL_INPUTS_SEL", "DIGITAL_OUTPUTS_SEL",
    "HEATER_CONTROL_SEL", "DETECTOR_SEL", "SOLENOID_VALVE_SEL", "EPC_SEL", "RTD_SEL",
    "PREAMP_STREAMING_SEL", "ZVLTLOI_SEL"};
// clang-format on

// A database directory; a table absent from it reads as "".
struct Database : TempDir {
    std::string get(const std::string& table) const { return readFile(file(table + ".csv")); }
    void put(const Tables& tables) const {
        for (const auto& table : tables)
            writeFile(file(table.first + ".csv"), table.second);
    }
    Tables categories() const {
        Tables tables;
        for (const char* name : kCategoryTables)
            tables[name] = get(name);
        return tables;
    }
};

// Category tables with old rows and cells the scan must keep.
inline Tables oldCategories() {
    Tables tables = {{"RTD_SEL", "\xEF\xBB\xBFInstalled_hw,label\nOLD,RTD 9\n"},
                     {"SOLENOID_VALVE_SEL", "Installed_hw\nOLD\n"},
                     {"HEATER_CONTROL_SEL", "Installed_hw,Notes\nOLD,one\n"}}; // one row
    // A blank line is no row; the last one has no line end.
    for (const char* name : kCategoryTables)
        tables.emplace(name, "Installed_hw,Notes\nOLD_1,one\n\nOLD_2,two");
    return tables;
}

// The program's steps over db at a trace level: what they printed on standard output and error.
// With preview, a preview runs instead of the scan and leaves its exit status there.
inline std::pair<std::string, std::string> scanInProcess(const Database& db, int level,
                                                         int* preview = nullptr) {
    setenv("ZVDB_DIR", db.path().c_str(), 1);
    debugResetChannel("/nonexistent/debugpipe");
    DebugLevel = static_cast<unsigned char>(level);
    Syslogtodebug = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    DeviceScanner scanner;
    HardwareCategory* cursor = categoryTable;
    scanner.buildTableList(cursor);
    cursor = categoryTable;
    scanner.createMasterTable();
    if (preview != nullptr)
        *preview = previewScan(scanner, cursor, stdout);
    else
        EXPECT_EQ(0, scanner.scanInstalledHardware(cursor));
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    DebugLevel = Syslogtodebug = 0;
    return {out, testing::internal::GetCapturedStderr()};
}

} // namespace testing_support
