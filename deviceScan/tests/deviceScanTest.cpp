// The scanner: how it opens the database, a null HW_CONFIG, and the inventory query.
#include "scanSupport.h"

#include <tuple>

using namespace testing_support;

// init_data_table, wrapped at link time (-Wl,--wrap) to record its arguments.
std::vector<std::tuple<std::string, task_id, access_level, long, long, bool>> opened;
extern "C" int __real__ZN15ZV_MASTER_TABLE15init_data_tableEPciillP15pthread_mutex_t(
    ZV_MASTER_TABLE*, char*, task_id, access_level, long, long, pthread_mutex_t*);
extern "C" int __wrap__ZN15ZV_MASTER_TABLE15init_data_tableEPciillP15pthread_mutex_t(
    ZV_MASTER_TABLE* self, char* name, task_id task, access_level access, long readTimeout,
    long writeTimeout, pthread_mutex_t* mutex) {
    opened.emplace_back(name, task, access, readTimeout, writeTimeout, mutex == nullptr);
    return __real__ZN15ZV_MASTER_TABLE15init_data_tableEPciillP15pthread_mutex_t(
        self, name, task, access, readTimeout, writeTimeout, mutex);
}

namespace {

TEST(DeviceScannerDeathTest, NullHwConfigEndsTheProcessWithStatusOne) {
    StringList names;
    EXPECT_EXIT(
        {
            dup2(2, 1); // the trace line too
            debugResetChannel("/nonexistent/debugpipe");
            DebugLevel = Syslogtodebug = 1;
            DeviceScanner().collectInstalledNames(nullptr, 3, 7, names);
        },
        ::testing::ExitedWithCode(1),
        "deviceScan@247:HW_CONFIG table pointer is equal to null\n.*deviceScan@249: severity 0 "
        "error 42: HW_CONFIG table pointer is equal to null");
}

TEST(DeviceScanner, OpensTheDatabaseOnceAndOrdersEachCategoryBySlot) {
    // Where the stop keys are looked for; DO_CONFIG and VALVE_CONFIG are missing.
    Database db;
    db.put({{"AO_CONFIG", "analog_output\nSLOT_BASE_IO\nao:slot_base_io:\n"},
            {"DETECTOR_CONFIG", "physical_add\nd:FID_G2_1:\nd:SLOT_1:\n"},
            {"RTD_SEL", "Installed_hw\nr:SLOT_4:t\nr:SLOT_2:a\nr:x\nr:SLOT_2:b\n"},
            {"HEATER_CONFIG", "heater_name\nh:SLOT_2:\n"}});
    setenv("ZVDB_DIR", db.path().c_str(), 1);
    DeviceScanner scanner;
    for (int built = 0; built < 2; ++built) { // a second list replaces the first
        HardwareCategory* cursor = categoryTable;
        scanner.buildTableList(cursor);
    }
    StringList listed = {"HW_CONFIG"};
    listed.insert(listed.end(), std::begin(kCategoryTables), std::end(kCategoryTables));
    EXPECT_EQ(listed, scanner.names());
    scanner.createMasterTable();
    EXPECT_EQ(decltype(opened)(1, {"", 49, 1, 400, 400, true}), opened);
    const std::string b = ":SLOT_BASE_IO:", e1 = ":EXP_SLOT_1:", e2 = ":EXP_SLOT_2:",
                      e3 = ":EXP_SLOT_3:", e4 = ":EXP_SLOT_4:", s2 = ":SLOT_2:", s3 = ":SLOT_3:",
                      s4 = ":SLOT_4:", s5 = ":SLOT_5:", f2 = ":FID_G2_2:", f4 = ":FID_G2_4:",
                      p2 = ":FPD_G2_2:";
    // A stop key found neither in the list nor in its table ends its group.
    const struct {
        std::int32_t code;
        StringList in, out;
    } cases[] = {
        {1, {e4, "x:SLOT_2:", e1, b + e2, e3, b, e1}, {b + e2, b, e1, e1, b + e2, e3, e4}},
        {2, {"x:slot_base_io:", "SLOT_BASE_IO", e1}, {}},
        {3, {e4, s4, e1, s2, b}, {b, s2, s4, e1, e4}},
        {6, {f2, f4, p2, s3, s5}, {f2, s3, s5}}, // FID_G2_1 and SLOT_1 in DETECTOR_CONFIG
        {7, {s4, "x:SLOT_1:"}, {"r:SLOT_2:a", "r:SLOT_2:b", s4}}, // RTD_SEL stands in
        {8, {s4}, {s4}},                                          // slot 2 in HEATER_CONFIG only
        {9, {s4}, {}},
        {5, {s2, b}, {s2, b}}, // no rule: kept as given
    };
    for (const auto& c : cases) {
        StringList names = c.in;
        EXPECT_EQ(0, scanner.orderByLocation(c.code, names));
        EXPECT_EQ(c.out, names) << "case " << &c - cases;
    }
    StringList found = {"stale"};
    EXPECT_EQ(1, scanner.filterByKey({s2, b}, s2, found));
    EXPECT_EQ(1, scanner.readColumnByKey("RTD_SEL", "Installed_hw", s2, found));
    EXPECT_EQ(0, DeviceScanner().readColumnByKey("RTD_SEL", "Installed_hw", s2, found));
    EXPECT_EQ(StringList{}, found) << "no master table, nothing read";
}

} // namespace
