// Database value lists. Read results are built as the database client builds
// them (linked records, each value at the start of its area, garbage after
// it) and the checks look at the caller's bytes, so a copy of the wrong width
// or from the wrong end of the area shows here and on the big-endian target.
#include "dbList.h"
#include "dbNames.h"
#include "debug.h"
#include "debugInternal.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

// The point-name look-up is wrapped at link time (-Wl,--wrap) to count calls.
static int lookups = 0;
extern "C" const char* __real__Z14GetDBPointNamei(std::int32_t);
extern "C" const char* __wrap__Z14GetDBPointNamei(std::int32_t id) {
    ++lookups;
    return __real__Z14GetDBPointNamei(id);
}

namespace {

using testing_support::countOf;
using Bytes = std::vector<unsigned char>;
using Records = std::deque<dbapi_data_list_struct>; // a deque keeps the links valid

char kCaller[] = "client.cpp";
const unsigned long kCallerLine = 42;
const std::string kCalledFrom = " (called from client.cpp@42)";
const unsigned char kGarbage = 0xEE;
const char kText[] = "abc";

template <typename T> Bytes bytesOf(T value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}
DB_DATA_TYPE_ENUM code(std::uint32_t raw) {
    return static_cast<DB_DATA_TYPE_ENUM>(raw);
}

dbapi_data_list_struct* add(Records& records, std::int32_t point, std::int32_t units,
                            std::uint32_t type, const Bytes& value) {
    records.push_back({point, code(type), {}, units, 0, nullptr});
    std::memset(records.back().value, kGarbage, kDbValueSize);
    std::memcpy(records.back().value, value.data(), value.size());
    if (records.size() > 1)
        records[records.size() - 2].next = &records.back();
    return &records.front();
}

// A caller variable: bytes 8 on, with guard bytes around it.
const Bytes kVariable(24, 0xAA);
Bytes holding(const Bytes& value) {
    Bytes expected = kVariable;
    std::copy(value.begin(), value.end(), expected.begin() + 8);
    return expected;
}

class DbListTest : public ::testing::Test {
  protected:
    // Log lines go to standard error, trace lines to standard output.
    void SetUp() override {
        Syslogtodebug = 1;
        debugResetChannel("/nonexistent/debugpipe");
    }
    void TearDown() override {
        DebugLevel = DebugLevel_IV = 0;
        Syslogtodebug = 0;
        debugResetChannel(nullptr);
    }
};

struct Row {
    std::uint32_t type;
    Bytes placed;            // in the value area, or the write-list variable
    std::string head, shown; // the trace line; no head: the type carries no value
    Bytes stored = placed;   // what the read variable receives
};
const Row kRows[] = {
    {DB_DATA_TYPE_BOOLEAN, {0xFF}, "BOOLEAN ", "4294967295"},
    {DB_DATA_TYPE_UCHAR, {'A'}, "UCHAR    ", "A"},
    {DB_DATA_TYPE_INT8, {0xFD}, "INT8    ", "-3"},
    {DB_DATA_TYPE_UINT16, bytesOf<std::uint16_t>(0xBEEF), "UINT16  ", "48879"},
    {DB_DATA_TYPE_UINT32, bytesOf<std::uint32_t>(4294967295u), "UINT32  ", "-1"},
    {DB_DATA_TYPE_UINT64, bytesOf<std::uint64_t>(~1ull), "UINT64  ", "-2"},
    {DB_DATA_TYPE_INT64, bytesOf<std::int64_t>(-5000000000ll), "INT64   ", "-5000000000"},
    {DB_DATA_TYPE_FLOAT32, bytesOf<float>(1.5f), "FLOAT32 ", "1.500000"},
    {DB_DATA_TYPE_FLOAT64, bytesOf<double>(-2.25), "FLOAT64 ", "-2.250000e+00"},
    {DB_DATA_TYPE_BIT32, bytesOf<std::uint32_t>(0x80000000u), "Bit32   ", "-2147483648"},
    {DB_DATA_TYPE_BINARY, bytesOf<const void*>(&kGarbage), "BINARY  ", ""}, // shown: below
    {DB_DATA_TYPE_STRING, bytesOf<const char*>(kText), "STRING  ", "abc", {'a', 'b', 'c', 0}},
    {DB_DATA_TYPE_STRING, bytesOf<const char*>(nullptr), "STRING  ", "", {0}},
    {0, {1}, "", ""},
    {16, {1}, "", ""},
    {18, {1}, "", ""},
};
const std::int32_t kFirstPoint = 100;

TEST_F(DbListTest, EveryTypeLandsByteForByteAndTracesOnlyAtLevelIV) {
    char binary[24]; // a 64-bit build shows the pointer's low 32 bits
    std::snprintf(binary, sizeof binary, "0x%x (ptr)",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&kGarbage)));
    struct Level {
        unsigned char level, levelIV;
        bool traces;
    } levels[] = {{3, 0, false}, {4, 0, true}, {0, 1, true}};
    for (const Level& l : levels) {
        SCOPED_TRACE(testing::Message() << "level " << int(l.level) << " IV " << int(l.levelIV));
        DebugLevel = l.level;
        DebugLevel_IV = l.levelIV;
        const std::size_t n = std::size(kRows);
        Records result;
        std::vector<Bytes> variables(n, kVariable);
        std::vector<DB_READ_DATA_STRUCT> requests;
        for (std::size_t i = 0; i < n; ++i)
            add(result, kFirstPoint + int(i), 7, kRows[i].type, kRows[i].placed);
        for (std::size_t i = n; i-- > 0;) // every record searches from the start
            requests.push_back(
                {kFirstPoint + int(i), 7, code(kRows[i].type), 0, variables[i].data() + 8});
        lookups = 0;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        DbList_StoreDBReadValues(&result.front(), requests.data(), n, kCaller, kCallerLine);
        std::string err = testing::internal::GetCapturedStderr();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(lookups, countOf(out, "value read for") + countOf(err, "error 106"))
            << "a point name is looked up only for a line written";
        EXPECT_EQ(countOf(out, " 3  0  dbList@"), countOf(out, "value read for")) << "severity 3";

        for (std::size_t i = 0; i < n; ++i) {
            const Row& row = kRows[i];
            SCOPED_TRACE(testing::Message() << "type " << row.type);
            std::string name = "POINT_" + std::to_string(kFirstPoint + i);
            bool carries = !row.head.empty();
            EXPECT_EQ(variables[i], holding(carries ? row.stored : Bytes{}));
            std::string line = ":" + row.head + "value read for " + name + "  = " +
                               (row.type == DB_DATA_TYPE_BINARY ? binary : row.shown) +
                               kCalledFrom + "\n";
            if (!carries)
                line = "severity 1 error 106: Unsupported data type " +
                       std::string(GetDataTypeName(row.type)) + " for " + name + kCalledFrom +
                       ".\n";
            EXPECT_EQ(countOf(carries ? out : err, line), carries && !l.traces ? 0 : 1)
                << out << err;
        }
    }
}

TEST_F(DbListTest, OnlyTheFirstRequestMatchingAllThreeFieldsReceives) {
    Records result;
    add(result, 9, 2, DB_DATA_TYPE_INT32, bytesOf<std::int32_t>(77));
    add(result, 8, 3, DB_DATA_TYPE_INT16, bytesOf<std::int16_t>(2)); // no request for it
    std::vector<Bytes> v(5, kVariable); // three near misses, then two exact matches
    DB_READ_DATA_STRUCT requests[] = {
        {8, 2, DB_DATA_TYPE_INT32, 0, v[0].data() + 8},
        {9, 3, DB_DATA_TYPE_INT32, 0, v[1].data() + 8},
        {9, 2, DB_DATA_TYPE_UINT32, 0, v[2].data() + 8},
        {9, 2, DB_DATA_TYPE_INT32, 0, v[3].data() + 8},
        {9, 2, DB_DATA_TYPE_INT32, 0, v[4].data() + 8},
    };
    testing::internal::CaptureStderr();
    DbList_StoreDBReadValues_MT(&result.front(), requests, 5, true, kCaller, kCallerLine);
    DbList_StoreDBReadValues_MT(&result.front(), nullptr, 0, true, kCaller, kCallerLine);
    DbList_StoreDBReadValues(nullptr, requests, 5, kCaller, kCallerLine);
    std::string err = testing::internal::GetCapturedStderr();

    std::vector<Bytes> stored(5, kVariable);
    stored[3] = holding(bytesOf<std::int32_t>(77));
    EXPECT_EQ(v, stored);
    EXPECT_EQ(countOf(err, "not found in read data info array"), 3) << err;
    EXPECT_EQ(countOf(err, "severity 0 error 106: DBPoint POINT_8, units UNIT_3, type INT16 not "
                           "found in read data info array" +
                               kCalledFrom + ".\n"),
              2)
        << err;
}

using DbListDeathTest = DbListTest;
TEST_F(DbListDeathTest, MissingRequestAbortsUnlessTolerated) {
    Records result;
    add(result, 7, 3, DB_DATA_TYPE_INT32, bytesOf<std::int32_t>(1));
    const char* pattern = "SysLog dbList@[0-9]+: severity 0 error 106: DBPoint POINT_7, units "
                          "UNIT_3, type INT32 not found in read data info array \\(called from "
                          "client\\.cpp@42\\)\\.";
    EXPECT_EXIT(DbList_StoreDBReadValues(&result.front(), nullptr, 0, kCaller, kCallerLine),
                ::testing::KilledBySignal(SIGABRT), pattern);
}

TEST_F(DbListTest, WriteListTakesEachVariableOnEveryCallAndReportsTypesWithoutValue) {
    std::vector<DB_WRITE_DATA_STRUCT> entries;
    for (const Row& row : kRows) {
        // A STRING entry refers to the caller's text itself.
        void* from = const_cast<unsigned char*>(row.placed.data());
        if (row.type == DB_DATA_TYPE_STRING)
            std::memcpy(&from, row.placed.data(), sizeof from);
        entries.push_back({kFirstPoint, code(row.type), {}, {}, from});
    }
    for (int call = 1; call <= 2; ++call) {
        for (DB_WRITE_DATA_STRUCT& entry : entries)
            std::memset(entry.value, kGarbage, kDbValueSize);
        testing::internal::CaptureStderr();
        DbList_UpdtWriteList(entries.data(), entries.size(), kCaller, kCallerLine);
        DbList_UpdtWriteList(nullptr, 0, kCaller, kCallerLine);
        std::string err = testing::internal::GetCapturedStderr();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const Row& row = kRows[i];
            SCOPED_TRACE(testing::Message() << "call " << call << " type " << row.type);
            Bytes area(kDbValueSize, kGarbage);
            if (!row.head.empty())
                std::copy(row.placed.begin(), row.placed.end(), area.begin());
            EXPECT_EQ(Bytes(entries[i].value, entries[i].value + kDbValueSize), area);
        }
        for (const char* complaint :
             {"Unsupported write list data type (UNUSED)", "Unrecognized write list data type (0)",
              "Unrecognized write list data type (18)"})
            EXPECT_EQ(countOf(err, std::string("severity 1 error 106: ") + complaint +
                                       " for point POINT_100" + kCalledFrom + "\n"),
                      1)
                << err;
    }
}

TEST(DbNames, EveryCodeHasItsOwnPrintableName) {
    // One line prints all three names at once: none may overwrite another.
    const char* point = GetDBPointName(-1);
    const char* units = GetUnitName(2147483647);
    const char* type = GetDataTypeName(4000000000u);
    std::set<std::string> names = {point, units, type};
    for (std::uint32_t raw = 0; raw <= 18; ++raw)
        names.insert(GetDataTypeName(raw));
    EXPECT_EQ(names.size(), 22u) << "every code needs a name of its own";
    EXPECT_EQ(names.count(""), 0u);
}

} // namespace
