// The scanner over real databases: what a scan leaves in the category tables
// and reports, the arguments it opens the database with, and the inventory query.
#include "scanSupport.h"

#include <sys/stat.h>

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

TEST(DeviceScan, RewritesEachCategoryTableFromHwConfig) {
    // Every category's code in a mixed order, CRLF; names that need quotes, an
    // empty one, duplicates; IO_function cells that name no category.
    const std::string hw =
        "IO_name,IO_function\r\nAI,1\r\nNOT,x\r\n\"AO, left\",+2\r\nDI,03\r\nDO,4\r\nPRE,5\r\n"
        "DET,6\r\nRTD_A,7\r\n\"say \"\"hi\"\"\",9\r\nX,10\r\nEPC,11\r\nZV,12\r\nRTD_B,7\r\nAI,1\r\n"
        ",9\r\n\"two\nlines\",9\r\nNOT, 1\r\nNOT,1x\r\nNOT,-\r\nNOT,18446744073709551617\r\n";
    // Rows past the new count are cut off; the rows kept keep their other cells.
    const Tables scanned = {
        {"ANALOG_INPUTS_SEL", "Installed_hw,Notes\nAI,one\nAI,two\n"},
        {"ANALOG_OUTPUTS_SEL", "Installed_hw,Notes\n\"AO, left\",one\n"},
        {"DIGITAL_INPUTS_SEL", "Installed_hw,Notes\nDI,one\n"},
        {"DIGITAL_OUTPUTS_SEL", "Installed_hw,Notes\nDO,one\n"},
        {"HEATER_CONTROL_SEL", "Installed_hw,Notes\n"},
        {"DETECTOR_SEL", "Installed_hw,Notes\nDET,one\n"},
        {"SOLENOID_VALVE_SEL", "Installed_hw\n\"say \"\"hi\"\"\"\n\"\"\n\"two\nlines\"\n"},
        {"EPC_SEL", "Installed_hw,Notes\nEPC,one\n"},
        {"RTD_SEL", "Installed_hw,label\nRTD_A,RTD 1\nRTD_B,RTD 2\n"},
        {"PREAMP_STREAMING_SEL", "Installed_hw,Notes\nPRE,one\n"},
        {"ZVLTLOI_SEL", "Installed_hw,Notes\nZV,one\n"}};
    // Tables put over the old ones stay as put, and so does a removed one; the
    // other category tables end as scanned, or as they were. Lines counts the
    // trace lines and system-log records.
    auto expectScan = [&scanned](const Tables& put, const std::string& removed, int level,
                                 int lines, bool rewritten, const StringList& printed) {
        Database db;
        db.put(oldCategories());
        db.put(put);
        unlink(db.file(removed + ".csv").c_str());
        ASSERT_EQ(0, chmod(db.file("RTD_SEL.csv").c_str(), 0604));
        Tables expected = rewritten ? scanned : oldCategories();
        for (const auto& table : put)
            if (expected.count(table.first) != 0)
                expected[table.first] = table.second;
        if (!removed.empty())
            expected[removed] = "";
        auto [out, err] = scanInProcess(db, level);
        EXPECT_EQ(expected, db.categories());
        EXPECT_EQ(lines, countOf(out, "deviceScan@") + countOf(err, "SysLog ")) << out << err;
        for (const std::string& text : printed)
            EXPECT_NE(std::string::npos, (out + err).find(text)) << out << err;
        struct stat st {};
        EXPECT_EQ(0604u, stat(db.file("RTD_SEL.csv").c_str(), &st) == 0 ? st.st_mode & 0777 : 0);
    };
    opened.clear();
    expectScan({{"HW_CONFIG", hw}}, "", 1, 11, true, {"deviceScan@145:ANALOG_INPUTS_SEL\n"});
    expectScan({{"HW_CONFIG", hw},
                {"ANALOG_INPUTS_SEL", ""},
                {"DIGITAL_INPUTS_SEL", "A,B\n1,x\"y\n"},
                {"DIGITAL_OUTPUTS_SEL", "Notes\nkeep\n"}},
               "EPC_SEL", 1, 17, true,
               {"deviceScan@204:Table Not found :EPC_SEL\n",
                "deviceScan@205: severity 0 error 42: ::Table not found : EPC_SEL\n",
                "ANALOG_INPUTS_SEL.csv, line 1: no header record\n",
                "DIGITAL_INPUTS_SEL.csv, line 2: quote inside an unquoted field\n"});
    // Without HW_CONFIG, or with one that does not load, nothing is written.
    expectScan({}, "", 1, 13, false,
               {"deviceScan@213:Table Not found : HW_CONFIG\n",
                "deviceScan@215: severity 0 error 42: ::Table not found : HW_CONFIG\n"});
    expectScan({{"HW_CONFIG", "IO_name\n\"\n"}}, "", 0, 2, false,
               {"@217: severity 0 error 42: ::Table could not be loaded : HW_CONFIG; no table "
                "rewritten\n"});
    EXPECT_EQ(decltype(opened)(4, {"", 49, 1, 400, 400, true}), opened) << "once a run";
}

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

TEST(OrderByLocation, ListsEachCategoryInSlotOrder) {
    // Where the stop keys are looked for; DO_CONFIG is missing.
    Database db;
    db.put({{"AI_CONFIG", "analog_input\nai:SLOT_BASE_IO:\n"},
            {"AO_CONFIG", "analog_output\nSLOT_BASE_IO\nao:slot_base_io:\n"},
            {"DI_CONFIG", "digital_input\ndi:SLOT_BASE_IO:\n"},
            {"DETECTOR_CONFIG", "physical_add\nd:FID_G2_1:\nd:SLOT_1:\n"},
            {"RTD_SEL", "Installed_hw\nr:SLOT_4:t\nr:SLOT_2:a\nr:x\nr:SLOT_2:b\n"},
            {"HEATER_CONFIG", "heater_name\nh:SLOT_2:\n"}});
    setenv("ZVDB_DIR", db.path().c_str(), 1);
    DeviceScanner scanner;
    HardwareCategory* cursor = categoryTable;
    scanner.buildTableList(cursor);
    scanner.createMasterTable();
    const std::string b = ":SLOT_BASE_IO:", e1 = ":EXP_SLOT_1:", e2 = ":EXP_SLOT_2:",
                      e3 = ":EXP_SLOT_3:", e4 = ":EXP_SLOT_4:", s1 = ":SLOT_1:", s2 = ":SLOT_2:",
                      s3 = ":SLOT_3:", s4 = ":SLOT_4:", s5 = ":SLOT_5:", f1 = ":FID_G2_1:",
                      f2 = ":FID_G2_2:", f3 = ":FID_G2_3:", f4 = ":FID_G2_4:", p1 = ":FPD_G2_1:",
                      p2 = ":FPD_G2_2:";
    // A stop key found neither in the list nor in its table ends its group.
    const struct {
        std::int32_t code;
        StringList in, out;
    } cases[] = {
        {1, {e4, "x:SLOT_2:", e1, b + e2, e3, b, e1}, {b + e2, b, e1, e1, b + e2, e3, e4}},
        {1, {e3, e1}, {e1, e3}}, // base in AI_CONFIG only
        {2, {"x:slot_base_io:", "SLOT_BASE_IO", e1}, {}},
        {4, {e2, b}, {b, e2}},
        {3, {e4, s4, e1, s2, b}, {b, s2, s4, e1, e4}},
        {3, {b, s4, e1}, {b}},
        {6, {s5, p2, f2, s1, p1, f4, f1, s3, f3}, {f1, f2, f3, f4, p1, p2, s1, s3, s5}},
        {6, {f2, f4, p2, s3, s5}, {f2, s3, s5}}, // FID_G2_1 and SLOT_1 in DETECTOR_CONFIG
        {7, {s4, "x:SLOT_1:"}, {"r:SLOT_2:a", "r:SLOT_2:b", s4}}, // RTD_SEL stands in
        {8, {s4}, {s4}},
        {9, {s4, s2}, {s2, s4}},
        {9, {s4}, {}},
        {5, {s2, b}, {s2, b}},
        {-1, {s2, b}, {s2, b}},
    };
    for (const auto& c : cases) {
        StringList names = c.in;
        EXPECT_EQ(0, scanner.orderByLocation(c.code, names));
        EXPECT_EQ(c.out, names) << "case " << &c - cases;
    }
    StringList found = {"stale"};
    EXPECT_EQ(1, scanner.filterByKey({s2, b}, s2, found));
    EXPECT_EQ(0, DeviceScanner().readColumnByKey("RTD_SEL", "Installed_hw", s2, found));
    EXPECT_EQ(StringList{}, found) << "no master table, nothing read";
}

} // namespace
