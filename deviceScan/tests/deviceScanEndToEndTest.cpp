// The built deviceScan program on real database directories: what the
// category tables hold afterwards, what is reported, and that nothing is
// lost when a table is missing or malformed.
#include "categoryTables.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using testing_support::kCategoryTables;

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::writeFile;

class DeviceScanRun : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* table : kCategoryTables)
            put(table, "Installed_hw\n");
        put("RTD_SEL", "Installed_hw,label\n");
    }

    void put(const std::string& table, const std::string& text) {
        writeFile(db.file(table + ".csv"), text);
    }
    std::string table(const std::string& name) { return readFile(db.file(name + ".csv")); }

    std::map<std::string, std::string> snapshot() {
        std::map<std::string, std::string> files;
        files["HW_CONFIG"] = table("HW_CONFIG");
        for (const char* name : kCategoryTables)
            files[name] = table(name);
        return files;
    }

    RunResult run(const std::string& switches = "--syslogtodebug") {
        return testing_support::runCommand("ZVDB_DIR='" + db.path() + "' " +
                                           testing_support::launcher() + DEVICESCAN_BINARY + " " +
                                           switches);
    }

    TempDir db;
};

TEST_F(DeviceScanRun, RewritesEveryCategoryFromHwConfig) {
    put("HW_CONFIG", "IO_name,IO_function,Slot\n"
                     "AI_1:SLOT_BASE_IO:,1,base\n"
                     "RTD_1:SLOT_2:,7,2\n"
                     "Serial 1,10,front\n"
                     "RTD_2:SLOT_4:,7,4\n"
                     "AI_1:SLOT_BASE_IO:,1,base\n"
                     "ZV,12,x\n");
    put("DETECTOR_SEL", "Installed_hw,Notes\nTCD_OLD,\"kept, \"\"quoted\"\"\"\n");
    RunResult result = run();
    EXPECT_EQ(result.status, 0) << result.err;

    EXPECT_EQ(table("ANALOG_INPUTS_SEL"), "Installed_hw\nAI_1:SLOT_BASE_IO:\nAI_1:SLOT_BASE_IO:\n");
    EXPECT_EQ(table("RTD_SEL"), "Installed_hw,label\nRTD_1:SLOT_2:,RTD 1\nRTD_2:SLOT_4:,RTD 2\n");
    EXPECT_EQ(table("ZVLTLOI_SEL"), "Installed_hw\nZV\n");
    EXPECT_EQ(table("DETECTOR_SEL"), "Installed_hw,Notes\n");
    EXPECT_EQ(table("EPC_SEL"), "Installed_hw\n");
    EXPECT_EQ(result.err.find("Table not found"), std::string::npos) << result.err;
}

TEST_F(DeviceScanRun, ShrinkingTableKeepsOtherColumnsOfRowsStillListed) {
    put("HW_CONFIG", "IO_name,IO_function\nDO_A,4\nDO_B,4\n");
    put("DIGITAL_OUTPUTS_SEL", "Installed_hw,label\nold1,one\nold2,two\nold3,three\nold4,four\n"
                               "old5,five\n");
    EXPECT_EQ(run().status, 0);
    EXPECT_EQ(table("DIGITAL_OUTPUTS_SEL"), "Installed_hw,label\nDO_A,one\nDO_B,two\n");
}

TEST_F(DeviceScanRun, NamesWithCommasQuotesAndNewlinesSurvive) {
    put("HW_CONFIG", "IO_name,IO_function\n"
                     "\"Valve, left\",9\n"
                     "\"say \"\"hi\"\"\",9\n"
                     "\"two\nlines\",9\n"
                     "\"\",9\n");
    EXPECT_EQ(run().status, 0);
    EXPECT_EQ(table("SOLENOID_VALVE_SEL"),
              "Installed_hw\n\"Valve, left\"\n\"say \"\"hi\"\"\"\n\"two\nlines\"\n\"\"\n");
}

TEST_F(DeviceScanRun, MissingCategoryTableIsReportedAndTheRestDone) {
    put("HW_CONFIG", "IO_name,IO_function\nE1,11\nR1,7\n");
    unlink(db.file("EPC_SEL.csv").c_str());
    RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("deviceScan@205: severity 0 error 42: ::Table not found : EPC_SEL"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(fileExists(db.file("EPC_SEL.csv")));
    EXPECT_EQ(table("RTD_SEL"), "Installed_hw,label\nR1,RTD 1\n");
}

TEST_F(DeviceScanRun, MissingHwConfigWritesNothing) {
    put("RTD_SEL", "Installed_hw,label\nkept,RTD 1\n");
    auto before = snapshot();
    RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("deviceScan@215: severity 0 error 42: ::Table not found : HW_CONFIG"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(snapshot(), before);
}

TEST_F(DeviceScanRun, EmptyHwConfigEmptiesEveryCategory) {
    put("HW_CONFIG", "IO_name,IO_function\n");
    put("RTD_SEL", "Installed_hw,label\nold,RTD 1\n");
    put("ANALOG_INPUTS_SEL", "Installed_hw\nold\n");
    EXPECT_EQ(run().status, 0);
    EXPECT_EQ(table("RTD_SEL"), "Installed_hw,label\n");
    EXPECT_EQ(table("ANALOG_INPUTS_SEL"), "Installed_hw\n");
}

TEST_F(DeviceScanRun, MalformedTableIsLeftByteForByte) {
    put("HW_CONFIG", "IO_name,IO_function\nA1,1\nH1,8\n");
    const std::string broken = "Installed_hw\n\"never closed\nrow\n";
    put("ANALOG_INPUTS_SEL", broken);
    RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(table("ANALOG_INPUTS_SEL"), broken);
    EXPECT_NE(result.err.find("ANALOG_INPUTS_SEL.csv, line 2"), std::string::npos) << result.err;
    EXPECT_EQ(table("HEATER_CONTROL_SEL"), "Installed_hw\nH1\n");
}

TEST_F(DeviceScanRun, UnreadableHwConfigChangesNoTable) {
    put("HW_CONFIG", "IO_name,IO_function\nA1,1,extra\n");
    put("ANALOG_INPUTS_SEL", "Installed_hw\nkept\n");
    auto before = snapshot();
    RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("HW_CONFIG.csv, line 2"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("deviceScan@217: severity 0 error 42: ::Table could not be loaded : "
                              "HW_CONFIG; no table rewritten"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(snapshot(), before);
}

TEST_F(DeviceScanRun, SwitchNoticesAndExitStatus) {
    put("HW_CONFIG", "IO_name,IO_function\n");
    RunResult result = run("-v -v --syslogtodebug -vv");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind("Redirecting all SysLog() to stderr.\n"
                               "Increasing debug verbosity level to 2.\n",
                               0),
              0u)
        << result.out;
}

TEST_F(DeviceScanRun, MissingDatabaseDirectoryStillExitsZero) {
    RunResult result = testing_support::runCommand("ZVDB_DIR=/nonexistent/configdb " +
                                                   testing_support::launcher() + DEVICESCAN_BINARY +
                                                   " --syslogtodebug");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("::Table not found : HW_CONFIG"), std::string::npos) << result.err;
}

} // namespace
