// The inventory query against real table files: each case builds a scratch
// database, opens the scanner over it as the program does, and checks the list
// the query leaves and that it printed nothing.
#include "debug.h"
#include "debugInternal.h"
#include "deviceScan.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

namespace {

using testing_support::TempDir;

// Table files by table name, each a header line with the column the query
// reads, then one value a line.
using Tables = std::map<std::string, std::string>;

// Item names: a prefix, then the key.
const std::string kB = "b:SLOT_BASE_IO:", kBE2 = "m:SLOT_BASE_IO::EXP_SLOT_2:",
                  kE1 = "e1:EXP_SLOT_1:", kE2 = "e2:EXP_SLOT_2:", kE3 = "e3:EXP_SLOT_3:",
                  kE4 = "e4:EXP_SLOT_4:", kS1 = "s1:SLOT_1:", kS2 = "s2:SLOT_2:",
                  kS3 = "s3:SLOT_3:", kS4 = "s4:SLOT_4:", kS5 = "s5:SLOT_5:", kF1 = "f1:FID_G2_1:",
                  kF2 = "f2:FID_G2_2:", kF3 = "f3:FID_G2_3:", kF4 = "f4:FID_G2_4:",
                  kP1 = "p1:FPD_G2_1:", kP2 = "p2:FPD_G2_2:", kP3 = "p3:FPD_G2_3:",
                  kP4 = "p4:FPD_G2_4:";

TEST(OrderByLocation, GivesEachRulesResultSilently) {
    const Tables heater = {{"HEATER_CONFIG", "heater_name\nh:SLOT_2:\n"}};
    struct Case {
        std::int32_t code;
        Tables tables;
        StringList input, expected;
    };
    const Case cases[] = {
        // Base first; expansion slots only when base is present, a gap never stops.
        {1, {}, {kE4, "x:SLOT_2:", kE1, kBE2, kE3, kB, kE1}, {kBE2, kB, kE1, kE1, kBE2, kE3, kE4}},
        {1,
         {{"AI_CONFIG", "analog_input\nai:slot_base_io:\nSLOT_BASE_IO\n"}},
         {"SLOT_BASE_IO", "x:slot_base_io:", ":SLOT_BASE_IO", kE1},
         {}},
        {1,
         {{"AI_CONFIG", "analog_input\nai:SLOT_2:\nai:SLOT_BASE_IO:\n"}},
         {kE3, kE1},
         {kE1, kE3}},
        {2, {{"AO_CONFIG", "analog_output\nao:SLOT_BASE_IO:\n"}}, {kE2, kE1}, {kE1, kE2}},
        {4, {{"DO_CONFIG", "digital_output\ndo:SLOT_BASE_IO:\n"}}, {kE4, kE2}, {kE2, kE4}},
        // Base and slot 2 both stop the group.
        {3,
         {},
         {kE4, kS4, kE1, kS2, kB, kE2, kE3, "x:SLOT_3:"},
         {kB, kS2, kS4, kE1, kE2, kE3, kE4}},
        {3, {}, {kB, kS4, kE1}, {kB}},
        {3, {{"DI_CONFIG", "digital_input\ndi:SLOT_2:\n"}}, {kE2, kS4, kB}, {kB, kS4, kE2}},
        {3, {{"DI_CONFIG", "digital_input\ndi:SLOT_2:\n"}}, {kS2, kS4}, {}},
        {3, {{"DI_CONFIG", "digital_input\ndi:SLOT_BASE_IO:\n"}}, {kE1, kS2}, {kS2, kE1}},
        // Three independent groups, every key a stop key.
        {6,
         {},
         {kS5, kP3, kF2, kS1, kP1, kF4, "x:SLOT_2:", kF1, kP4, kS3, kF3, kP2},
         {kF1, kF2, kF3, kF4, kP1, kP2, kP3, kP4, kS1, kS3, kS5}},
        {6, {}, {kF1, kF3, kF4, kP1, kP2, kS1, kS5}, {kF1, kP1, kP2, kS1}},
        {6,
         {{"DETECTOR_CONFIG", "physical_add\nd:FID_G2_1:\nd:SLOT_3:\nd:FPD_G2_1:\n"}},
         {kS5, kF2, kS1, kP2},
         {kF2, kP2, kS1, kS5}},
        {6, {}, {kF2, kP2, kS3}, {}},
        // An empty slot 2 sublist takes RTD_SEL's own slot 2 values.
        {7,
         {{"RTD_SEL", "Installed_hw\nr:SLOT_4:t\nr:SLOT_2:a\nr:x\nr:SLOT_2:b\n"}},
         {kS4, "x:SLOT_1:"},
         {"r:SLOT_2:a", "r:SLOT_2:b", kS4}},
        {7, {{"RTD_SEL", "Installed_hw\nr:SLOT_4:t\nr:slot_2:\n"}}, {kS4}, {}},
        // Slot 2 stops the group.
        {8, {}, {kS4, "x:SLOT_5:", kS2}, {kS2, kS4}},
        {8, heater, {kS4}, {kS4}},
        {9, {{"VALVE_CONFIG", "physical_name\nv:SLOT_4:\nv:SLOT_2:\n"}}, {kS4}, {kS4}},
        {9, heater, {kS4, "x:SLOT_3:"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        TempDir db;
        for (const auto& table : c.tables)
            testing_support::writeFile(db.file(table.first + ".csv"), table.second);
        setenv("ZVDB_DIR", db.path().c_str(), 1);
        DeviceScanner scanner;
        HardwareCategory* cursor = categoryTable;
        scanner.buildTableList(cursor);
        scanner.createMasterTable();

        // Every trace switch on and no pipe: a trace line would show on stdout.
        DebugLevel = 4;
        DebugLevel_IV = Syslogtodebug = 1;
        debugResetChannel((db.path() + "/no/pipe").c_str());
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        StringList names = c.input;
        EXPECT_EQ(0, scanner.orderByLocation(c.code, names));
        EXPECT_EQ("", ::testing::internal::GetCapturedStdout() +
                          ::testing::internal::GetCapturedStderr());
        debugResetChannel(nullptr);
        DebugLevel = DebugLevel_IV = Syslogtodebug = 0;
        EXPECT_EQ(c.expected, names);
    }
}

} // namespace
