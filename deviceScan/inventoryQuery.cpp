// The scanner's inventory query: a category's installed items in the order
// of the slots and detector positions they occupy.
//
// Each category with a rule lists its location keys in key groups, in result
// order. Some keys are also looked for in a configuration table; those are
// stop keys: a stop key found neither in the caller's list nor in its table
// ends its group. The query only reads tables, logs nothing, and keeps no
// state between calls: every check is a complete fresh read.
#include "deviceScan.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <vector>

namespace {

// Location keys, matched case-sensitively anywhere in a name, colons included.
const char* const kSlotBaseIo = ":SLOT_BASE_IO:";
const char* const kExpSlot1 = ":EXP_SLOT_1:";
const char* const kExpSlot2 = ":EXP_SLOT_2:";
const char* const kExpSlot3 = ":EXP_SLOT_3:";
const char* const kExpSlot4 = ":EXP_SLOT_4:";
const char* const kSlot1 = ":SLOT_1:";
const char* const kSlot2 = ":SLOT_2:";
const char* const kSlot3 = ":SLOT_3:";
const char* const kSlot4 = ":SLOT_4:";
const char* const kSlot5 = ":SLOT_5:";
const char* const kFid1 = ":FID_G2_1:";
const char* const kFid2 = ":FID_G2_2:";
const char* const kFid3 = ":FID_G2_3:";
const char* const kFid4 = ":FID_G2_4:";
const char* const kFpd1 = ":FPD_G2_1:";
const char* const kFpd2 = ":FPD_G2_2:";
const char* const kFpd3 = ":FPD_G2_3:";
const char* const kFpd4 = ":FPD_G2_4:";

using KeyList = std::vector<const char*>;

struct LocationRule {
    std::int32_t code;
    std::vector<KeyList> groups; // result order
    // Where the stop keys are looked for; every check of a rule reads the
    // same table and column.
    const char* table;
    const char* column;
    KeyList stopKeys; // in the order their checks run
    // The RTD rule takes an empty sublist's entries from its own category
    // table, and reads that table only when the list has none.
    bool standIn;
};

const std::vector<LocationRule>& locationRules() {
    static const KeyList baseAndExpansion = {kSlotBaseIo, kExpSlot1, kExpSlot2, kExpSlot3,
                                             kExpSlot4};
    static const KeyList slots2And4 = {kSlot2, kSlot4};
    static const std::vector<LocationRule> rules = {
        {1, {baseAndExpansion}, "AI_CONFIG", "analog_input", {kSlotBaseIo}, false},
        {2, {baseAndExpansion}, "AO_CONFIG", "analog_output", {kSlotBaseIo}, false},
        {3,
         {{kSlotBaseIo, kSlot2, kSlot4, kExpSlot1, kExpSlot2, kExpSlot3, kExpSlot4}},
         "DI_CONFIG",
         "digital_input",
         {kSlotBaseIo, kSlot2},
         false},
        {4, {baseAndExpansion}, "DO_CONFIG", "digital_output", {kSlotBaseIo}, false},
        // Detector slots come last in the result, but their checks run first.
        {6,
         {{kFid1, kFid2, kFid3, kFid4}, {kFpd1, kFpd2, kFpd3, kFpd4}, {kSlot1, kSlot3, kSlot5}},
         "DETECTOR_CONFIG",
         "physical_add",
         {kSlot1, kSlot3, kSlot5, kFid1, kFid2, kFid3, kFid4, kFpd1, kFpd2, kFpd3, kFpd4},
         false},
        {7, {slots2And4}, "RTD_SEL", "Installed_hw", {kSlot2}, true},
        {8, {slots2And4}, "HEATER_CONFIG", "heater_name", {kSlot2}, false},
        {9, {slots2And4}, "VALVE_CONFIG", "physical_name", {kSlot2}, false},
    };
    return rules;
}

const LocationRule* ruleFor(std::int32_t code) {
    for (const LocationRule& rule : locationRules())
        if (rule.code == code)
            return &rule;
    return nullptr;
}

bool contains(const KeyList& keys, const std::string& key) {
    return std::find_if(keys.begin(), keys.end(), [&key](const char* k) { return key == k; }) !=
           keys.end();
}

struct KeyState {
    StringList entries; // the caller's names that hold the key
    bool present = false;
};

} // namespace

int DeviceScanner::orderByLocation(std::int32_t code, StringList& names) {
    const LocationRule* rule = ruleFor(code);
    if (rule == nullptr)
        return 0;

    std::map<std::string, KeyState> keys;
    for (const KeyList& group : rule->groups)
        for (const char* key : group) {
            KeyState& state = keys[key];
            state.present = filterByKey(names, key, state.entries) != 0;
        }

    for (const char* key : rule->stopKeys) {
        KeyState& state = keys[key];
        if (!rule->standIn) {
            StringList found;
            if (readColumnByKey(rule->table, rule->column, key, found) != 0)
                state.present = true;
        } else if (state.entries.empty()) {
            state.present = readColumnByKey(rule->table, rule->column, key, state.entries) != 0;
        }
    }

    // Built aside, so that the caller's list is replaced in one step.
    StringList ordered;
    for (const KeyList& group : rule->groups)
        for (const char* key : group) {
            const KeyState& state = keys[key];
            appendList(ordered, state.entries);
            if (!state.present && contains(rule->stopKeys, key))
                break;
        }
    names.swap(ordered);
    return 0;
}

int DeviceScanner::filterByKey(StringList in, std::string key, StringList& out) {
    out.clear();
    for (std::string& entry : in)
        if (entry.find(key) != std::string::npos)
            out.push_back(std::move(entry));
    return out.empty() ? 0 : 1;
}

int DeviceScanner::readColumnByKey(std::string table, std::string column, std::string key,
                                   StringList& out) {
    out.clear();
    // A scanner whose master table is not yet created has no table to give.
    if (masterTable == nullptr)
        return 0;
    ZVTABLE* found = masterTable->get_class_pointer(table.c_str());
    if (found == nullptr)
        return 0;
    found->read_table_data();
    int storedRows = found->get_stored_rows();
    if (storedRows <= 0)
        return 0;
    StringList values;
    found->get(column, values);
    // Only stored rows count; a short column read must not be indexed past its end.
    std::size_t count = std::min(static_cast<std::size_t>(storedRows), values.size());
    for (std::size_t row = 0; row < count; ++row)
        if (values[row].find(key) != std::string::npos)
            out.push_back(values[row]);
    return out.empty() ? 0 : 1;
}

void DeviceScanner::appendList(StringList& destination, StringList source) {
    destination.insert(destination.end(), std::make_move_iterator(source.begin()),
                       std::make_move_iterator(source.end()));
}
