// The inventory query's table reads, recorded by the table service double:
// how many reads of which table, and what a read does with odd row counts.
#include "deviceScan.h"
#include "recordingTables.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

// The calls of `times` complete configuration checks of table.column.
Calls reads(const std::string& table, const std::string& column, int times = 1) {
    Calls all;
    for (int i = 0; i < times; ++i)
        all.insert(all.end(),
                   {"get_class_pointer " + table, "read_table_data " + table,
                    "get_stored_rows " + table, "get " + table + " " + column + " column"});
    return all;
}

// An entry for every location key, so that every sublist is non-empty.
const StringList kEveryKey = {
    "b:SLOT_BASE_IO:", "e1:EXP_SLOT_1:", "e2:EXP_SLOT_2:", "e3:EXP_SLOT_3:", "e4:EXP_SLOT_4:",
    "s1:SLOT_1:",      "s2:SLOT_2:",     "s3:SLOT_3:",     "s4:SLOT_4:",     "s5:SLOT_5:",
    "f1:FID_G2_1:",    "f2:FID_G2_2:",   "f3:FID_G2_3:",   "f4:FID_G2_4:",   "p1:FPD_G2_1:",
    "p2:FPD_G2_2:",    "p3:FPD_G2_3:",   "p4:FPD_G2_4:"};

struct InventoryQueryCalls : ::testing::Test {
    InventoryQueryCalls() {
        recording::reset();
        HardwareCategory* cursor = categoryTable;
        scanner.buildTableList(cursor);
        scanner.createMasterTable();
        recording::calls().clear();
    }
    ~InventoryQueryCalls() override { recording::reset(); }
    DeviceScanner scanner;
};

// Every check is a complete read, also for a key the list already holds.
TEST_F(InventoryQueryCalls, EachRuleReadsOnlyItsOwnTable) {
    const struct {
        std::int32_t code;
        const char *table, *column;
        int times;
    } cases[] = {{1, "AI_CONFIG", "analog_input", 1},        {2, "AO_CONFIG", "analog_output", 1},
                 {3, "DI_CONFIG", "digital_input", 2},       {4, "DO_CONFIG", "digital_output", 1},
                 {6, "DETECTOR_CONFIG", "physical_add", 11}, {8, "HEATER_CONFIG", "heater_name", 1},
                 {9, "VALVE_CONFIG", "physical_name", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        recording::reset();
        recording::addTable(c.table, {c.column}, {{"c:SLOT_BASE_IO::SLOT_2::FID_G2_1:"}});
        // A second call reads again: nothing is kept between calls.
        for (int call = 0; call < 2; ++call) {
            StringList names = kEveryKey;
            scanner.orderByLocation(c.code, names);
        }
        EXPECT_EQ(reads(c.table, c.column, 2 * c.times), recording::calls());
    }
}

TEST_F(InventoryQueryCalls, CodesWithoutRuleTouchNoTable) {
    for (std::int32_t code : {0, 5, 10, 11, 12, -1, std::numeric_limits<std::int32_t>::min(),
                              std::numeric_limits<std::int32_t>::max()}) {
        SCOPED_TRACE(code);
        StringList names = kEveryKey;
        EXPECT_EQ(0, scanner.orderByLocation(code, names));
        EXPECT_EQ(kEveryKey, names);
        EXPECT_EQ(Calls{}, recording::calls());
    }
}

// RTD_SEL is read only for an empty slot 2 sublist. Only the first
// stored-row-count values count, never more than the column read returned;
// a missing table or no stored rows finds nothing.
TEST_F(InventoryQueryCalls, RtdStandInReads) {
    const Calls rowCount = {"get_class_pointer RTD_SEL", "read_table_data RTD_SEL",
                            "get_stored_rows RTD_SEL"};
    const Calls complete = reads("RTD_SEL", "Installed_hw");
    const StringList s4 = {"s4:SLOT_4:"}, found = {"r:SLOT_2:a", "s4:SLOT_4:"};
    const struct {
        bool exists;
        int storedRows;
        StringList pastRows, input, expected;
        Calls calls;
    } cases[] = {{true, 1, {}, {"s4:SLOT_4:", "s2:SLOT_2:"}, {"s2:SLOT_2:", "s4:SLOT_4:"}, {}},
                 {true, 1, {}, s4, found, complete},
                 {false, 0, {}, s4, {}, {rowCount[0]}},
                 {true, 0, {}, s4, {}, rowCount},
                 {true, -3, {}, s4, {}, rowCount},
                 {true, 1, {"r:SLOT_2:past"}, s4, found, complete},
                 {true, 1000, {}, s4, found, complete}};
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        recording::reset();
        if (c.exists) {
            recording::Table& table =
                recording::addTable("RTD_SEL", {"Installed_hw"}, {{found[0]}});
            table.storedRows = c.storedRows;
            table.extraColumnValues = c.pastRows;
        }
        StringList names = c.input;
        scanner.orderByLocation(7, names);
        EXPECT_EQ(c.expected, names);
        EXPECT_EQ(c.calls, recording::calls());
    }
}

// The helpers empty their output first, and may be handed one list twice. A
// scanner without its master table reads nothing.
TEST_F(InventoryQueryCalls, HelpersReplaceTheirOutput) {
    recording::addTable("RTD_SEL", {"Installed_hw"}, {{"r:SLOT_2:a"}});
    StringList list = {"stale"};
    EXPECT_EQ(0, DeviceScanner().readColumnByKey("RTD_SEL", "Installed_hw", ":SLOT_2:", list));
    EXPECT_EQ(StringList{}, list);
    EXPECT_EQ(Calls{}, recording::calls());
    list = {"x:SLOT_2:", "y", "z:SLOT_2:"};
    EXPECT_EQ(1, scanner.filterByKey(list, ":SLOT_2:", list));
    scanner.appendList(list, list);
    EXPECT_EQ((StringList{"x:SLOT_2:", "z:SLOT_2:", "x:SLOT_2:", "z:SLOT_2:"}), list);
}

} // namespace
