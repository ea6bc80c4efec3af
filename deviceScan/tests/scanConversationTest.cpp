// The scanner's conversation with the table service, recorded call by call:
// what is opened and how, the order of cell writes, row counts and table
// writes, what is reported when tables are missing, and where the category
// cursor ends.
#include "deviceScan.h"

#include "categoryTables.h"
#include "debug.h"
#include "debugInternal.h"
#include "recordingTables.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using recording::addTable;
using recording::calls;
using recording::callsStartingWith;
using Rows = std::vector<std::vector<std::string>>;

const std::vector<std::string> kCategoryTables(std::begin(testing_support::kCategoryTables),
                                               std::end(testing_support::kCategoryTables));

class ScanConversation : public ::testing::Test {
  protected:
    void SetUp() override {
        recording::reset();
        DebugLevel = 0;
        DebugLevel_IV = 0;
        Syslogtodebug = 1;
        debugResetChannel("/nonexistent/debugpipe");
    }
    void TearDown() override {
        Syslogtodebug = 0;
        DebugLevel = 0;
        debugResetChannel(nullptr);
    }

    void addAllCategoryTables() {
        for (const std::string& name : kCategoryTables)
            addTable(name, {"Installed_hw", "label"});
    }

    // The entry function's sequence, without the switches.
    void run(DeviceScanner& scanner) {
        HardwareCategory* cursor = categoryTable;
        scanner.buildTableList(cursor);
        EXPECT_EQ(cursor, categoryTable + kCategoryCount);
        cursor = categoryTable;
        scanner.createMasterTable();
        scanner.scanInstalledHardware(cursor);
        scanEnd = cursor;
    }

    // The calls made on one table, in order.
    static std::vector<std::string> callsOn(const std::string& table) {
        std::vector<std::string> found;
        for (const std::string& call : calls()) {
            std::string tail = " " + table;
            bool namesTable = call.find(tail + " ") != std::string::npos ||
                              (call.size() >= tail.size() &&
                               call.compare(call.size() - tail.size(), tail.size(), tail) == 0);
            if (namesTable && call.rfind("new ZV_MASTER_TABLE", 0) != 0)
                found.push_back(call);
        }
        return found;
    }

    HardwareCategory* scanEnd = nullptr;
};

TEST_F(ScanConversation, OpensTheDatabaseOnceOverTheTwelveTables) {
    addTable("HW_CONFIG", {"IO_name", "IO_function"});
    addAllCategoryTables();
    {
        DeviceScanner scanner;
        run(scanner);
        ASSERT_EQ(scanner.names().size(), 12u);
        EXPECT_EQ(scanner.names().front(), "HW_CONFIG");
        EXPECT_EQ(std::vector<std::string>(scanner.names().begin() + 1, scanner.names().end()),
                  kCategoryTables);
    }
    std::string joined = "HW_CONFIG";
    for (const std::string& name : kCategoryTables)
        joined += "," + name;
    EXPECT_EQ(callsStartingWith("new ZV_MASTER_TABLE"),
              std::vector<std::string>{"new ZV_MASTER_TABLE " + joined + " flag=0"});
    EXPECT_EQ(
        callsStartingWith("init_data_table"),
        std::vector<std::string>{"init_data_table name='' task=49 access=1 400 400 mutex=null"});
    EXPECT_EQ(calls()[0].rfind("new ZV_MASTER_TABLE", 0), 0u);
    EXPECT_EQ(calls()[1].rfind("init_data_table", 0), 0u);
    EXPECT_EQ(calls().back(), "delete ZV_MASTER_TABLE");
    EXPECT_EQ(scanEnd, categoryTable + kCategoryCount);
}

TEST_F(ScanConversation, WritesNamesRowByRowThenCountThenTable) {
    addTable("HW_CONFIG", {"IO_name", "IO_function"},
             Rows{{"RTD_A", "7"},
                  {"AI_A", "1"},
                  {"RTD_B", "7"},
                  {"X", "10"},
                  {"RTD_C", "7"},
                  {"AI_A", "1"}});
    addAllCategoryTables();
    DeviceScanner scanner;
    run(scanner);

    EXPECT_EQ(
        callsOn("RTD_SEL"),
        (std::vector<std::string>{"get_class_pointer RTD_SEL", "read_table_data RTD_SEL",
                                  "set RTD_SEL Installed_hw 0 RTD_A", "set RTD_SEL label 0 RTD 1",
                                  "set RTD_SEL Installed_hw 1 RTD_B", "set RTD_SEL label 1 RTD 2",
                                  "set RTD_SEL Installed_hw 2 RTD_C", "set RTD_SEL label 2 RTD 3",
                                  "set_stored_rows RTD_SEL 3", "write_table_data RTD_SEL"}));
    // Duplicates stay, in HW_CONFIG row order; no label outside RTD_SEL.
    EXPECT_EQ(callsOn("ANALOG_INPUTS_SEL"),
              (std::vector<std::string>{
                  "get_class_pointer ANALOG_INPUTS_SEL", "read_table_data ANALOG_INPUTS_SEL",
                  "set ANALOG_INPUTS_SEL Installed_hw 0 AI_A",
                  "set ANALOG_INPUTS_SEL Installed_hw 1 AI_A",
                  "set_stored_rows ANALOG_INPUTS_SEL 2", "write_table_data ANALOG_INPUTS_SEL"}));
    // A category nobody names: count 0, written, no cell touched.
    EXPECT_EQ(callsOn("EPC_SEL"),
              (std::vector<std::string>{"get_class_pointer EPC_SEL", "read_table_data EPC_SEL",
                                        "get_stored_rows EPC_SEL", "set_stored_rows EPC_SEL 0",
                                        "write_table_data EPC_SEL"}));
    // Code 10 reaches no table.
    for (const std::string& call : callsStartingWith("set "))
        EXPECT_EQ(call.find(" X"), std::string::npos) << call;
}

TEST_F(ScanConversation, LoadsHwConfigOnceAndPassesOverItPerCategory) {
    addTable("HW_CONFIG", {"IO_name", "IO_function"}, Rows{{"A", "1"}, {"B", "2"}});
    addAllCategoryTables();
    DeviceScanner scanner;
    run(scanner);

    EXPECT_EQ(callsStartingWith("read_table_data HW_CONFIG").size(), 1u);
    EXPECT_EQ(callsStartingWith("get_stored_rows HW_CONFIG").size(), 1u);
    // One IO_function read per row per category, one IO_name read per match,
    // and one text read of each in row 0 to find a missing column.
    EXPECT_EQ(callsStartingWith("get HW_CONFIG IO_function").size(),
              2u * kCategoryTables.size() + 1);
    EXPECT_EQ(callsStartingWith("get HW_CONFIG IO_name").size(), 3u);
    // Tables are visited in category order.
    std::vector<std::string> visited;
    for (const std::string& call : callsStartingWith("write_table_data "))
        visited.push_back(call.substr(std::string("write_table_data ").size()));
    EXPECT_EQ(visited, kCategoryTables);
}

TEST_F(ScanConversation, EmptyHwConfigEmptiesEveryTable) {
    addTable("HW_CONFIG", {"IO_name", "IO_function"});
    addAllCategoryTables();
    DeviceScanner scanner;
    run(scanner);

    EXPECT_TRUE(callsStartingWith("set ").empty());
    EXPECT_TRUE(callsStartingWith("get HW_CONFIG").empty());
    EXPECT_EQ(callsStartingWith("set_stored_rows").size(), kCategoryTables.size());
    for (const std::string& call : callsStartingWith("set_stored_rows"))
        EXPECT_EQ(call.back(), '0') << call;
    EXPECT_EQ(callsStartingWith("write_table_data").size(), kCategoryTables.size());
}

TEST_F(ScanConversation, MissingCategoryTableIsReportedAndSkipped) {
    addTable("HW_CONFIG", {"IO_name", "IO_function"}, Rows{{"EPC_1", "11"}, {"ZV", "12"}});
    addAllCategoryTables();
    recording::tables().erase("EPC_SEL");

    struct Case {
        unsigned char level;
        bool traced;
    } cases[] = {{0, false}, {1, true}};
    for (const Case& c : cases) {
        recording::calls().clear();
        DebugLevel = c.level;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        DeviceScanner scanner;
        run(scanner);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();

        EXPECT_EQ(callsOn("EPC_SEL"), std::vector<std::string>{"get_class_pointer EPC_SEL"});
        EXPECT_EQ(callsStartingWith("write_table_data").size(), kCategoryTables.size() - 1);
        EXPECT_NE(err.find("deviceScan@205: severity 0 error 42: ::Table not found : EPC_SEL"),
                  std::string::npos)
            << err;
        EXPECT_EQ(out.find(" 3  0  deviceScan@204:Table Not found :EPC_SEL\n") != std::string::npos,
                  c.traced)
            << out;
        EXPECT_EQ(scanEnd, categoryTable + kCategoryCount);
    }
}

TEST_F(ScanConversation, MissingHwConfigEndsTheScanWithNothingWritten) {
    addAllCategoryTables();
    DebugLevel = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    DeviceScanner scanner;
    HardwareCategory* cursor = categoryTable;
    scanner.buildTableList(cursor);
    cursor = categoryTable;
    scanner.createMasterTable();
    EXPECT_EQ(scanner.scanInstalledHardware(cursor), 0);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(cursor, categoryTable) << "the cursor must not move";
    EXPECT_EQ(callsStartingWith("get_class_pointer"),
              std::vector<std::string>{"get_class_pointer HW_CONFIG"});
    EXPECT_TRUE(callsStartingWith("write_table_data").empty());
    EXPECT_NE(out.find("deviceScan@213:Table Not found : HW_CONFIG\n"), std::string::npos) << out;
    EXPECT_NE(err.find("deviceScan@215: severity 0 error 42: ::Table not found : HW_CONFIG"),
              std::string::npos)
        << err;
}

TEST_F(ScanConversation, TableListTracesEachCategoryOnlyWhenTracing) {
    for (unsigned char level : {0, 1}) {
        DebugLevel = level;
        DeviceScanner scanner;
        testing::internal::CaptureStdout();
        HardwareCategory* cursor = categoryTable;
        scanner.buildTableList(cursor);
        cursor = categoryTable;
        scanner.buildTableList(cursor); // a second build replaces, not appends
        std::string out = testing::internal::GetCapturedStdout();

        EXPECT_EQ(scanner.names().size(), 12u);
        EXPECT_EQ(testing_support::countOf(out, "deviceScan@145:"), level == 0 ? 0 : 22);
        EXPECT_EQ(out.find("deviceScan@145:HW_CONFIG"), std::string::npos);
        if (level != 0) {
            EXPECT_NE(out.find(" 3  0  deviceScan@145:ANALOG_INPUTS_SEL\n"), std::string::npos);
            EXPECT_LT(out.find("@145:ANALOG_INPUTS_SEL"), out.find("@145:ZVLTLOI_SEL"));
        }
    }
}

TEST_F(ScanConversation, ScannerWithoutMasterTableFreesNothingElse) {
    { DeviceScanner scanner; }
    EXPECT_TRUE(calls().empty());
}

using ScanConversationDeathTest = ScanConversation;

TEST_F(ScanConversationDeathTest, NullHwConfigEndsTheProcessWithStatusOne) {
    DebugLevel = 1;
    DeviceScanner scanner;
    StringList names{"left over"};
    EXPECT_EXIT(scanner.collectInstalledNames(nullptr, 3, 7, names), ::testing::ExitedWithCode(1),
                "deviceScan@249: severity 0 error 42: HW_CONFIG table pointer is equal to null");
}

} // namespace
