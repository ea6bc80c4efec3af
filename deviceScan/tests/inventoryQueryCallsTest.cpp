// The inventory query's table reads, recorded by the table service double:
// how many reads, of which table, and what a read does with odd row counts.
#include "deviceScan.h"
#include "recordingTables.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

// The calls of one complete configuration check of table.column.
Calls completeRead(const std::string &table, const std::string &column) {
    return {"get_class_pointer " + table, "read_table_data " + table, "get_stored_rows " + table,
            "get " + table + " " + column + " column"};
}

Calls repeated(const Calls &once, int times) {
    Calls all;
    for (int i = 0; i < times; ++i)
        all.insert(all.end(), once.begin(), once.end());
    return all;
}

// An entry for every location key: every sublist is non-empty.
const StringList kEveryKey = {
    "b:SLOT_BASE_IO:", "e1:EXP_SLOT_1:", "e2:EXP_SLOT_2:", "e3:EXP_SLOT_3:", "e4:EXP_SLOT_4:",
    "s1:SLOT_1:",      "s2:SLOT_2:",     "s3:SLOT_3:",     "s4:SLOT_4:",     "s5:SLOT_5:",
    "f1:FID_G2_1:",    "f2:FID_G2_2:",   "f3:FID_G2_3:",   "f4:FID_G2_4:",   "p1:FPD_G2_1:",
    "p2:FPD_G2_2:",    "p3:FPD_G2_3:",   "p4:FPD_G2_4:"};

class InventoryQueryCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        recording::reset();
        HardwareCategory *cursor = categoryTable;
        scanner.buildTableList(cursor);
        scanner.createMasterTable();
        recording::calls().clear();
    }
    void TearDown() override { recording::reset(); }

    DeviceScanner scanner;
};

TEST_F(InventoryQueryCalls, DetectorQueryReadsItsTableElevenTimes) {
    recording::addTable("DETECTOR_CONFIG", {"physical_add"}, {{"d:FID_G2_1:"}, {"d:SLOT_3:"}});
    StringList names = kEveryKey;
    scanner.orderByLocation(6, names);
    EXPECT_EQ(repeated(completeRead("DETECTOR_CONFIG", "physical_add"), 11), recording::calls());
}

// Checks run even when the list already holds the key, each a complete read.
TEST_F(InventoryQueryCalls, EachRuleReadsOnlyItsOwnTable) {
    struct Case {
        std::int32_t code;
        const char *table;
        const char *column;
        int reads;
    };
    const Case cases[] = {
        {1, "AI_CONFIG", "analog_input", 1},    {2, "AO_CONFIG", "analog_output", 1},
        {3, "DI_CONFIG", "digital_input", 2},   {4, "DO_CONFIG", "digital_output", 1},
        {8, "HEATER_CONFIG", "heater_name", 1}, {9, "VALVE_CONFIG", "physical_name", 1},
    };
    for (const Case &c : cases) {
        recording::reset();
        recording::addTable(c.table, {c.column}, {{"c:SLOT_BASE_IO::SLOT_2:"}});
        StringList names = kEveryKey;
        scanner.orderByLocation(c.code, names);
        EXPECT_EQ(repeated(completeRead(c.table, c.column), c.reads), recording::calls())
            << "code " << c.code;
    }
}

TEST_F(InventoryQueryCalls, RtdTableReadOnlyWhenListHasNoSlot2) {
    recording::addTable("RTD_SEL", {"Installed_hw", "label"}, {{"r:SLOT_2:t", "RTD 1"}});

    StringList names = {"s4:SLOT_4:", "s2:SLOT_2:"};
    scanner.orderByLocation(7, names);
    EXPECT_EQ(Calls{}, recording::calls());
    EXPECT_EQ((StringList{"s2:SLOT_2:", "s4:SLOT_4:"}), names);

    names = {"s4:SLOT_4:"};
    scanner.orderByLocation(7, names);
    EXPECT_EQ(completeRead("RTD_SEL", "Installed_hw"), recording::calls());
    EXPECT_EQ((StringList{"r:SLOT_2:t", "s4:SLOT_4:"}), names);
}

TEST_F(InventoryQueryCalls, CodesWithoutRuleTouchNoTable) {
    const std::int32_t codes[] = {0,
                                  5,
                                  10,
                                  11,
                                  12,
                                  -1,
                                  -7,
                                  std::numeric_limits<std::int32_t>::min(),
                                  std::numeric_limits<std::int32_t>::max()};
    for (std::int32_t code : codes) {
        recording::calls().clear();
        StringList names = kEveryKey;
        EXPECT_EQ(0, scanner.orderByLocation(code, names));
        EXPECT_EQ(kEveryKey, names) << "code " << code;
        EXPECT_EQ(Calls{}, recording::calls()) << "code " << code;
    }
}

TEST_F(InventoryQueryCalls, MissingTableOrNoRowsFindsNothing) {
    struct Case {
        const char *name;
        bool tableExists;
        int storedRows;
        Calls expectedCalls;
    };
    const Calls lookUp = {"get_class_pointer AI_CONFIG"};
    const Calls rowCount = {"get_class_pointer AI_CONFIG", "read_table_data AI_CONFIG",
                            "get_stored_rows AI_CONFIG"};
    const Case cases[] = {
        {"missing table", false, 0, lookUp},
        {"no stored rows", true, 0, rowCount},
        {"negative row count", true, -3, rowCount},
    };
    for (const Case &c : cases) {
        recording::reset();
        if (c.tableExists)
            recording::addTable("AI_CONFIG", {"analog_input"}, {{"ai:SLOT_BASE_IO:"}}).storedRows =
                c.storedRows;
        StringList names = {"e1:EXP_SLOT_1:"};
        scanner.orderByLocation(1, names);
        EXPECT_EQ(StringList{}, names) << c.name;
        EXPECT_EQ(c.expectedCalls, recording::calls()) << c.name;
    }
}

TEST_F(InventoryQueryCalls, ValuesPastStoredRowCountIgnored) {
    recording::addTable("RTD_SEL", {"Installed_hw"}, {{"r:SLOT_2:a"}, {"r:x"}})
        .extraColumnValues = {"r:SLOT_2:past"};
    recording::addTable("AI_CONFIG", {"analog_input"}, {{"ai:x"}}).extraColumnValues = {
        "ai:SLOT_BASE_IO:past"};

    StringList rtds;
    scanner.orderByLocation(7, rtds);
    EXPECT_EQ(StringList{"r:SLOT_2:a"}, rtds);

    StringList inputs = {"e1:EXP_SLOT_1:"};
    scanner.orderByLocation(1, inputs);
    EXPECT_EQ(StringList{}, inputs);
}

TEST_F(InventoryQueryCalls, ShortColumnReadIsNotIndexedPastItsEnd) {
    recording::addTable("RTD_SEL", {"Installed_hw"}, {{"r:SLOT_2:a"}}).storedRows = 1000;
    StringList names;
    scanner.orderByLocation(7, names);
    EXPECT_EQ(StringList{"r:SLOT_2:a"}, names);
}

TEST(InventoryQueryWithoutMasterTable, ChecksFindNothing) {
    recording::reset();
    recording::addTable("RTD_SEL", {"Installed_hw"}, {{"r:SLOT_2:a"}});
    DeviceScanner scanner;

    StringList rtds = {"s4:SLOT_4:"};
    scanner.orderByLocation(7, rtds);
    StringList inputs = {"e1:EXP_SLOT_1:", "b:SLOT_BASE_IO:"};
    scanner.orderByLocation(1, inputs);

    EXPECT_EQ(StringList{}, rtds);
    EXPECT_EQ((StringList{"b:SLOT_BASE_IO:", "e1:EXP_SLOT_1:"}), inputs);
    EXPECT_EQ(Calls{}, recording::calls());
    recording::reset();
}

// The helpers empty their output lists first, so a reused list never keeps
// stale entries, and they may be handed the same list twice.
TEST_F(InventoryQueryCalls, HelpersReplaceTheirOutput) {
    recording::addTable("HEATER_CONFIG", {"heater_name"}, {{"h:SLOT_2:a"}, {"h:SLOT_4:"}});
    StringList out = {"stale"};

    EXPECT_EQ(0, scanner.filterByKey({"a:SLOT_4:"}, ":SLOT_2:", out));
    EXPECT_EQ(StringList{}, out);
    out = {"stale"};
    EXPECT_EQ(0, scanner.readColumnByKey("NO_SUCH_TABLE", "heater_name", ":SLOT_2:", out));
    EXPECT_EQ(StringList{}, out);
    out = {"stale"};
    EXPECT_EQ(0, scanner.readColumnByKey("HEATER_CONFIG", "no_such_column", ":SLOT_2:", out));
    EXPECT_EQ(StringList{}, out);
    out = {"stale"};
    EXPECT_EQ(1, scanner.readColumnByKey("HEATER_CONFIG", "heater_name", ":SLOT_2:", out));
    EXPECT_EQ(StringList{"h:SLOT_2:a"}, out);

    StringList list = {"x:SLOT_2:", "y", "z:SLOT_2:"};
    EXPECT_EQ(1, scanner.filterByKey(list, ":SLOT_2:", list));
    EXPECT_EQ((StringList{"x:SLOT_2:", "z:SLOT_2:"}), list);
    scanner.appendList(list, list);
    EXPECT_EQ((StringList{"x:SLOT_2:", "z:SLOT_2:", "x:SLOT_2:", "z:SLOT_2:"}), list);
}

} // namespace
