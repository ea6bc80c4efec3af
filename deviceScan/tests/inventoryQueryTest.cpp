// The inventory query against real table files: each case builds a scratch
// database, opens the scanner over it and checks the list the query leaves.
#include "debug.h"
#include "debugInternal.h"
#include "deviceScan.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

using testing_support::TempDir;

// A table of the scratch database: one column that the query reads, beside a
// decoy column holding every location key, so reading the wrong column shows.
struct ConfigTable {
    std::string name;
    std::string column;
    StringList values;
};

const char *const kDecoy = ":SLOT_BASE_IO::EXP_SLOT_1::EXP_SLOT_2::EXP_SLOT_3::EXP_SLOT_4:"
                           ":SLOT_1::SLOT_2::SLOT_3::SLOT_4::SLOT_5:"
                           ":FID_G2_1::FID_G2_2::FID_G2_3::FID_G2_4:"
                           ":FPD_G2_1::FPD_G2_2::FPD_G2_3::FPD_G2_4:";

void writeTable(const TempDir &db, const ConfigTable &table) {
    std::string text = "decoy," + table.column + "\n";
    for (const std::string &value : table.values)
        text += std::string(kDecoy) + "," + value + "\n";
    testing_support::writeFile(db.file(table.name + ".csv"), text);
}

// A scanner opened the way the program opens it, over the scratch database.
class OpenScanner {
  public:
    explicit OpenScanner(const TempDir &db) {
        setenv("ZVDB_DIR", db.path().c_str(), 1);
        HardwareCategory *cursor = categoryTable;
        scanner.buildTableList(cursor);
        scanner.createMasterTable();
    }
    DeviceScanner scanner;
};

struct QueryCase {
    const char *name;
    std::int32_t code;
    std::vector<ConfigTable> tables;
    StringList input;
    StringList expected;
};

std::ostream &operator<<(std::ostream &out, const QueryCase &c) {
    return out << c.name;
}

std::string caseName(const ::testing::TestParamInfo<QueryCase> &tested) {
    return tested.param.name;
}

class OrderByLocation : public ::testing::TestWithParam<QueryCase> {};

TEST_P(OrderByLocation, LeavesTheRuleResult) {
    const QueryCase &c = GetParam();
    TempDir db;
    for (const ConfigTable &table : c.tables)
        writeTable(db, table);
    OpenScanner open(db);

    StringList names = c.input;
    EXPECT_EQ(0, open.scanner.orderByLocation(c.code, names));
    EXPECT_EQ(c.expected, names);
}

// Item names: a prefix, then the key.
const char *const kBase = "b:SLOT_BASE_IO:";
const char *const kBase2 = "b2:SLOT_BASE_IO:";
const char *const kExp1 = "e1:EXP_SLOT_1:";
const char *const kExp2 = "e2:EXP_SLOT_2:";
const char *const kExp3 = "e3:EXP_SLOT_3:";
const char *const kExp4 = "e4:EXP_SLOT_4:";
const char *const kS1 = "s1:SLOT_1:";
const char *const kS2 = "s2:SLOT_2:";
const char *const kS2b = "s2b:SLOT_2:";
const char *const kS3 = "s3:SLOT_3:";
const char *const kS4 = "s4:SLOT_4:";
const char *const kS5 = "s5:SLOT_5:";
const char *const kFid1 = "f1:FID_G2_1:";
const char *const kFid2 = "f2:FID_G2_2:";
const char *const kFid3 = "f3:FID_G2_3:";
const char *const kFid4 = "f4:FID_G2_4:";
const char *const kFpd1 = "p1:FPD_G2_1:";
const char *const kFpd2 = "p2:FPD_G2_2:";
const char *const kFpd3 = "p3:FPD_G2_3:";
const char *const kFpd4 = "p4:FPD_G2_4:";

ConfigTable makeTable(const char *name, const char *column, StringList values) {
    return ConfigTable{name, column, std::move(values)};
}

// Base and expansion rules (codes 1, 2, 4) and their tables.
const QueryCase kBaseExpansionCases[] = {
    {"code1_slotOrderKeepsListOrderWithinKey",
     1,
     {},
     {kExp4, "x:SLOT_2:", kExp1, kBase, kExp3, kBase2, kExp2},
     {kBase, kBase2, kExp1, kExp2, kExp3, kExp4}},
    {"code1_noBaseAnywhere", 1, {}, {kExp1, kExp3}, {}},
    {"code1_baseOnlyInConfig",
     1,
     {makeTable("AI_CONFIG", "analog_input", {"ai:SLOT_2:", "ai:SLOT_BASE_IO:"})},
     {kExp3, kExp1},
     {kExp1, kExp3}},
    {"code1_configWithoutRows", 1, {makeTable("AI_CONFIG", "analog_input", {})}, {kExp1}, {}},
    {"code1_configKeyInOtherCase",
     1,
     {makeTable("AI_CONFIG", "analog_input", {"ai:slot_base_io:", "SLOT_BASE_IO"})},
     {kExp1},
     {}},
    {"code1_emptyExpansionSlotDoesNotStop", 1, {}, {kExp3, kBase}, {kBase, kExp3}},
    {"code1_keyNeedsColonsAndCase",
     1,
     {},
     {"SLOT_BASE_IO", "x:slot_base_io:", ":SLOT_BASE_IO", kExp1},
     {}},
    {"code1_entryWithTwoKeysAndDuplicates",
     1,
     {},
     {"m:SLOT_BASE_IO::EXP_SLOT_2:", kExp1, kExp1},
     {"m:SLOT_BASE_IO::EXP_SLOT_2:", kExp1, kExp1, "m:SLOT_BASE_IO::EXP_SLOT_2:"}},
    {"code1_emptyList", 1, {makeTable("AI_CONFIG", "analog_input", {"ai:SLOT_BASE_IO:"})}, {}, {}},
    {"code1_otherTypesTablesIgnored",
     1,
     {makeTable("AO_CONFIG", "analog_output", {"ao:SLOT_BASE_IO:"}),
      makeTable("DI_CONFIG", "digital_input", {"di:SLOT_BASE_IO:"}),
      makeTable("DO_CONFIG", "digital_output", {"do:SLOT_BASE_IO:"})},
     {kExp1},
     {}},
    {"code2_baseOnlyInConfig",
     2,
     {makeTable("AO_CONFIG", "analog_output", {"ao:SLOT_BASE_IO:"})},
     {kExp2, kExp1},
     {kExp1, kExp2}},
    {"code2_analogInputTableIgnored",
     2,
     {makeTable("AI_CONFIG", "analog_input", {"ai:SLOT_BASE_IO:"})},
     {kExp1},
     {}},
    {"code4_baseOnlyInConfig",
     4,
     {makeTable("DO_CONFIG", "digital_output", {"do:SLOT_BASE_IO:"})},
     {kExp4, kExp2},
     {kExp2, kExp4}},
    {"code4_digitalInputTableIgnored",
     4,
     {makeTable("DI_CONFIG", "digital_input", {"di:SLOT_BASE_IO:"})},
     {kExp1},
     {}},
};
INSTANTIATE_TEST_SUITE_P(BaseAndExpansion, OrderByLocation,
                         ::testing::ValuesIn(kBaseExpansionCases), caseName);

// Digital inputs (code 3): two stop keys in one group.
const QueryCase kDigitalInputCases[] = {
    {"allKeysInSlotOrder",
     3,
     {},
     {kExp4, kS4, kExp1, kS2, kBase, kExp2, kExp3, "x:SLOT_3:"},
     {kBase, kS2, kS4, kExp1, kExp2, kExp3, kExp4}},
    {"slot2AbsentEndsGroup", 3, {}, {kBase, kS4, kExp1}, {kBase}},
    {"slot2OnlyInConfig",
     3,
     {makeTable("DI_CONFIG", "digital_input", {"di:SLOT_2:"})},
     {kExp2, kS4, kBase},
     {kBase, kS4, kExp2}},
    {"baseAbsentEndsGroup",
     3,
     {makeTable("DI_CONFIG", "digital_input", {"di:SLOT_2:"})},
     {kS2, kS4},
     {}},
    {"baseOnlyInConfig",
     3,
     {makeTable("DI_CONFIG", "digital_input", {"di:SLOT_BASE_IO:"})},
     {kS4, kS2},
     {kS2, kS4}},
    {"slot4IsNoStopKey", 3, {}, {kExp1, kS2, kBase}, {kBase, kS2, kExp1}},
};
INSTANTIATE_TEST_SUITE_P(DigitalInputs, OrderByLocation, ::testing::ValuesIn(kDigitalInputCases),
                         caseName);

// Detectors (code 6): three independent groups, every key a stop key.
const QueryCase kDetectorCases[] = {
    {"allPositionsSlotsLast",
     6,
     {},
     {kS5, kFpd3, kFid2, kS1, kFpd1, kFid4, "x:SLOT_2:", kFid1, kFpd4, kS3, kFid3, kFpd2},
     {kFid1, kFid2, kFid3, kFid4, kFpd1, kFpd2, kFpd3, kFpd4, kS1, kS3, kS5}},
    {"fidGapEndsOnlyFidGroup",
     6,
     {},
     {kFid1, kFid3, kFid4, kFpd1, kFpd2, kS1, kS3},
     {kFid1, kFpd1, kFpd2, kS1, kS3}},
    {"keyOnlyInConfigKeepsGroupGoing",
     6,
     {makeTable("DETECTOR_CONFIG", "physical_add", {"d:FID_G2_1:", "d:SLOT_3:", "d:FPD_G2_1:"})},
     {kS5, kFid2, kS1, kFpd2},
     {kFid2, kFpd2, kS1, kS5}},
    {"slotGapEndsSlotGroup", 6, {}, {kS1, kS5, kFid1}, {kFid1, kS1}},
    {"firstKeysAbsent", 6, {}, {kFid2, kFpd2, kS3}, {}},
};
INSTANTIATE_TEST_SUITE_P(Detectors, OrderByLocation, ::testing::ValuesIn(kDetectorCases), caseName);

// RTDs (code 7): an empty slot 2 sublist takes RTD_SEL's own slot 2 items.
const QueryCase kRtdCases[] = {
    {"listedSlot2BeforeSlot4",
     7,
     {makeTable("RTD_SEL", "Installed_hw", {"r:SLOT_2:table", "r:SLOT_4:table"})},
     {kS4, kS2, kS2b},
     {kS2, kS2b, kS4}},
    {"tableStandsInForSlot2",
     7,
     {makeTable("RTD_SEL", "Installed_hw", {"r:SLOT_4:t", "r:SLOT_2:a", "r:x", "r:SLOT_2:b"})},
     {kS4, "x:SLOT_1:"},
     {"r:SLOT_2:a", "r:SLOT_2:b", kS4}},
    {"slot2NowhereGivesNothing",
     7,
     {makeTable("RTD_SEL", "Installed_hw", {"r:SLOT_4:t", "r:slot_2:"})},
     {kS4},
     {}},
    {"emptyListFilledTable",
     7,
     {makeTable("RTD_SEL", "Installed_hw", {"r:SLOT_2:a"})},
     {},
     {"r:SLOT_2:a"}},
    {"tableMissing", 7, {}, {kS4}, {}},
    {"tableWithoutRows", 7, {makeTable("RTD_SEL", "Installed_hw", {})}, {kS4}, {}},
    {"otherTablesIgnored",
     7,
     {makeTable("HEATER_CONFIG", "heater_name", {"h:SLOT_2:"}),
      makeTable("VALVE_CONFIG", "physical_name", {"v:SLOT_2:"})},
     {kS4},
     {}},
};
INSTANTIATE_TEST_SUITE_P(Rtds, OrderByLocation, ::testing::ValuesIn(kRtdCases), caseName);

// Heaters (code 8) and valves (code 9): slot 2, then slot 4.
const QueryCase kSlot2And4Cases[] = {
    {"code8_slot2First", 8, {}, {kS4, "x:SLOT_5:", kS2}, {kS2, kS4}},
    {"code8_slot2Absent", 8, {}, {kS4}, {}},
    {"code8_slot2OnlyInConfig",
     8,
     {makeTable("HEATER_CONFIG", "heater_name", {"h:SLOT_2:"})},
     {kS4},
     {kS4}},
    {"code8_valveTableIgnored",
     8,
     {makeTable("VALVE_CONFIG", "physical_name", {"v:SLOT_2:"}),
      makeTable("RTD_SEL", "Installed_hw", {"r:SLOT_2:"})},
     {kS4},
     {}},
    {"code9_slot2Absent", 9, {}, {kS4, "x:SLOT_3:"}, {}},
    {"code9_slot2OnlyInConfig",
     9,
     {makeTable("VALVE_CONFIG", "physical_name", {"v:SLOT_4:", "v:SLOT_2:"})},
     {kS4},
     {kS4}},
    {"code9_heaterTableIgnored",
     9,
     {makeTable("HEATER_CONFIG", "heater_name", {"h:SLOT_2:"})},
     {kS4},
     {}},
};
INSTANTIATE_TEST_SUITE_P(HeatersAndValves, OrderByLocation, ::testing::ValuesIn(kSlot2And4Cases),
                         caseName);

// Every configuration table filled with every key, so a code that wrongly
// fell into some rule would reorder or drop entries.
std::vector<ConfigTable> everyTableFilled() {
    const StringList all = {kDecoy};
    return {makeTable("AI_CONFIG", "analog_input", all),
            makeTable("AO_CONFIG", "analog_output", all),
            makeTable("DI_CONFIG", "digital_input", all),
            makeTable("DO_CONFIG", "digital_output", all),
            makeTable("DETECTOR_CONFIG", "physical_add", all),
            makeTable("RTD_SEL", "Installed_hw", all),
            makeTable("HEATER_CONFIG", "heater_name", all),
            makeTable("VALVE_CONFIG", "physical_name", all)};
}

TEST(OrderByLocationWithoutRule, LeavesListUnchanged) {
    TempDir db;
    for (const ConfigTable &t : everyTableFilled())
        writeTable(db, t);
    OpenScanner open(db);
    const StringList input = {kS4, kExp1, "plain", kBase, kS2, kFid2, kS4};
    const std::int32_t codes[] = {0,
                                  5,
                                  10,
                                  11,
                                  12,
                                  13,
                                  -1,
                                  std::numeric_limits<std::int32_t>::min(),
                                  std::numeric_limits<std::int32_t>::max()};
    for (std::int32_t code : codes) {
        StringList names = input;
        EXPECT_EQ(0, open.scanner.orderByLocation(code, names)) << "code " << code;
        EXPECT_EQ(input, names) << "code " << code;
    }
}

TEST(OrderByLocationReads, EveryCallReadsTheTableAfresh) {
    TempDir db;
    ConfigTable analogInputs = makeTable("AI_CONFIG", "analog_input", {"ai:SLOT_2:"});
    writeTable(db, analogInputs);
    OpenScanner open(db);

    StringList names = {kExp1};
    open.scanner.orderByLocation(1, names);
    EXPECT_TRUE(names.empty());

    analogInputs.values.push_back("ai:SLOT_BASE_IO:");
    writeTable(db, analogInputs);
    names = {kExp1};
    open.scanner.orderByLocation(1, names);
    EXPECT_EQ(StringList{kExp1}, names);

    analogInputs.values.clear();
    writeTable(db, analogInputs);
    names = {kExp1};
    open.scanner.orderByLocation(1, names);
    EXPECT_TRUE(names.empty());
}

TEST(OrderByLocationLogging, LogsNothingEvenWhenTablesAreMissing) {
    TempDir db;
    writeTable(db, makeTable("DETECTOR_CONFIG", "physical_add", {}));
    OpenScanner open(db);
    unsigned char level = DebugLevel, levelIV = DebugLevel_IV, toDebug = Syslogtodebug;
    DebugLevel = 4;
    DebugLevel_IV = 1;
    Syslogtodebug = 1;
    // With no pipe, any trace line would show on standard output.
    const std::string noPipe = db.path() + "/no/such/pipe";
    debugResetChannel(noPipe.c_str());

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    for (std::int32_t code : {1, 2, 3, 4, 6, 7, 8, 9}) {
        StringList names = {kBase, kS2, kFid1};
        open.scanner.orderByLocation(code, names);
    }
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();

    debugResetChannel(nullptr);
    DebugLevel = level;
    DebugLevel_IV = levelIV;
    Syslogtodebug = toDebug;
    EXPECT_EQ("", out);
    EXPECT_EQ("", err);
}

} // namespace
