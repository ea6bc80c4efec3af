// Database value lists. Read results are built the way the database client
// builds them (linked records, each value placed at the start of its area by
// its own type, the rest of the area garbage), and every check looks at the
// caller's bytes: a copy from the wrong end of the area or of the wrong width
// shows up on the big-endian target as a wrong value, here as a wrong byte.
#include "dbList.h"
#include "dbNames.h"
#include "debug.h"
#include "debugInternal.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

// The look-ups are wrapped at link time (-Wl,--wrap) so that the tests can
// count them.
extern "C" {
const char* __real__Z14GetDBPointNamei(std::int32_t);
const char* __real__Z11GetUnitNamei(std::int32_t);
const char* __real__Z15GetDataTypeNamej(std::uint32_t);
}
namespace {
int lookups = 0;
}
extern "C" {
const char* __wrap__Z14GetDBPointNamei(std::int32_t id) {
    ++lookups;
    return __real__Z14GetDBPointNamei(id);
}
const char* __wrap__Z11GetUnitNamei(std::int32_t id) {
    ++lookups;
    return __real__Z11GetUnitNamei(id);
}
const char* __wrap__Z15GetDataTypeNamej(std::uint32_t id) {
    ++lookups;
    return __real__Z15GetDataTypeNamej(id);
}
}

namespace {

using testing_support::countOf;
using Bytes = std::vector<unsigned char>;

char kCaller[] = "client.cpp";
const unsigned long kCallerLine = 42;
const std::string kCalledFrom = " (called from client.cpp@42)";
const unsigned char kGarbage = 0xEE;
const unsigned char kGuard = 0xAA;
const std::string kTracePrefix = " 3  0  dbList@"; // severity 3, error number 0

template <typename T> Bytes bytesOf(T value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

DB_DATA_TYPE_ENUM code(std::uint32_t raw) {
    return static_cast<DB_DATA_TYPE_ENUM>(raw);
}

// A read result as the client hands it over.
class ReadResult {
  public:
    dbapi_data_list_struct& add(std::int32_t point, std::int32_t units, std::uint32_t type,
                                const Bytes& value) {
        records_.push_back(dbapi_data_list_struct{});
        dbapi_data_list_struct& record = records_.back();
        record.point_id = point;
        record.units = units;
        record.data_type = code(type);
        std::memset(record.value, kGarbage, sizeof record.value);
        std::memcpy(record.value, value.data(), value.size());
        return record;
    }
    dbapi_data_list_struct* head() {
        for (std::size_t i = 0; i + 1 < records_.size(); ++i)
            records_[i].next = &records_[i + 1];
        return records_.empty() ? nullptr : &records_.front();
    }

  private:
    std::deque<dbapi_data_list_struct> records_;
};

// A caller variable with guard bytes on both sides.
struct Guarded {
    alignas(8) unsigned char bytes[32];
    Guarded() { std::memset(bytes, kGuard, sizeof bytes); }
    void* at() { return bytes + 8; }
    // The variable holds exactly `value`, and nothing around it changed.
    ::testing::AssertionResult holds(const Bytes& value) const {
        Bytes expected(sizeof bytes, kGuard);
        std::copy(value.begin(), value.end(), expected.begin() + 8);
        if (Bytes(bytes, bytes + sizeof bytes) == expected)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "variable or its neighbours differ";
    }
    ::testing::AssertionResult untouched() const { return holds({}); }
};

DB_READ_DATA_STRUCT request(std::int32_t point, std::int32_t units, std::uint32_t type,
                            void* variable) {
    return DB_READ_DATA_STRUCT{point, units, code(type), 0, variable};
}

class DbListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DebugLevel = 0;
        DebugLevel_IV = 0;
        Syslogtodebug = 1;
        // Trace lines then go to standard output, where the tests read them.
        debugResetChannel("/nonexistent/debugpipe");
    }
    void TearDown() override {
        DebugLevel = 0;
        DebugLevel_IV = 0;
        Syslogtodebug = 0;
        debugResetChannel(nullptr);
    }
};

struct TypedValue {
    std::uint32_t type;
    Bytes value;
};

const std::vector<TypedValue> kScalars = {
    {DB_DATA_TYPE_BOOLEAN, {1}},
    {DB_DATA_TYPE_UCHAR, {'A'}},
    {DB_DATA_TYPE_CHAR, {'z'}},
    {DB_DATA_TYPE_UINT8, {200}},
    {DB_DATA_TYPE_INT8, bytesOf<std::int8_t>(-3)},
    {DB_DATA_TYPE_UINT16, bytesOf<std::uint16_t>(0xBEEF)},
    {DB_DATA_TYPE_INT16, bytesOf<std::int16_t>(-2)},
    {DB_DATA_TYPE_UINT32, bytesOf<std::uint32_t>(0xDEADBEEF)},
    {DB_DATA_TYPE_INT32, bytesOf<std::int32_t>(-123456)},
    {DB_DATA_TYPE_UINT64, bytesOf<std::uint64_t>(0x0102030405060708ull)},
    {DB_DATA_TYPE_INT64, bytesOf<std::int64_t>(-5000000000ll)},
    {DB_DATA_TYPE_FLOAT32, bytesOf<float>(1.5f)},
    {DB_DATA_TYPE_FLOAT64, bytesOf<double>(-2.25)},
    {DB_DATA_TYPE_BIT32, bytesOf<std::uint32_t>(0x80000001u)},
    {DB_DATA_TYPE_BINARY, bytesOf<const void*>(&kGarbage)},
};

TEST_F(DbListTest, EveryTypeLandsByteForByteInItsVariable) {
    static const char text[] = "GC-7 ready";
    std::vector<std::pair<TypedValue, Bytes>> rows; // placed in the record, stored
    for (const TypedValue& scalar : kScalars)
        rows.push_back({scalar, scalar.value});
    rows.push_back(
        {{DB_DATA_TYPE_STRING, bytesOf<const char*>(text)}, Bytes(text, text + sizeof text)});
    // No text at all reads as an empty one.
    rows.push_back({{DB_DATA_TYPE_STRING, bytesOf<const char*>(nullptr)}, {'\0'}});

    ReadResult result;
    std::vector<Guarded> variables(rows.size());
    std::vector<DB_READ_DATA_STRUCT> requests;
    for (std::size_t i = 0; i < rows.size(); ++i)
        result.add(static_cast<std::int32_t>(100 + i), 7, rows[i].first.type, rows[i].first.value);
    // Requests in the opposite order: every record searches from the start.
    for (std::size_t i = rows.size(); i-- > 0;)
        requests.push_back(
            request(static_cast<std::int32_t>(100 + i), 7, rows[i].first.type, variables[i].at()));

    DbList_StoreDBReadValues(result.head(), requests.data(),
                             static_cast<unsigned short>(requests.size()), kCaller, kCallerLine);

    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_TRUE(variables[i].holds(rows[i].second)) << "row " << i;
}

TEST_F(DbListTest, OnlyTheFirstRequestMatchingPointUnitsAndTypeReceives) {
    ReadResult result;
    result.add(9, 2, DB_DATA_TYPE_INT32, bytesOf<std::int32_t>(77));
    Guarded near[3], first, second;
    DB_READ_DATA_STRUCT requests[] = {
        request(8, 2, DB_DATA_TYPE_INT32, near[0].at()),
        request(9, 3, DB_DATA_TYPE_INT32, near[1].at()),
        request(9, 2, DB_DATA_TYPE_UINT32, near[2].at()),
        request(9, 2, DB_DATA_TYPE_INT32, first.at()),
        request(9, 2, DB_DATA_TYPE_INT32, second.at()),
    };
    testing::internal::CaptureStderr();
    DbList_StoreDBReadValues(result.head(), requests, 5, kCaller, kCallerLine);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(first.holds(bytesOf<std::int32_t>(77)));
    EXPECT_TRUE(second.untouched());
    for (const Guarded& variable : near)
        EXPECT_TRUE(variable.untouched());

    // Without the exact request the near misses still receive nothing.
    testing::internal::CaptureStderr();
    DbList_StoreDBReadValues_MT(result.head(), requests, 3, true, kCaller, kCallerLine);
    EXPECT_EQ(countOf(testing::internal::GetCapturedStderr(), "not found"), 1);
    for (const Guarded& variable : near)
        EXPECT_TRUE(variable.untouched());
}

TEST_F(DbListTest, ToleratedMissingRequestsAreLoggedAndSkipped) {
    ReadResult result;
    result.add(7, 3, DB_DATA_TYPE_INT32, bytesOf<std::int32_t>(1));
    result.add(8, 3, DB_DATA_TYPE_INT16, bytesOf<std::int16_t>(2));
    result.add(9, 3, DB_DATA_TYPE_UINT8, {3});
    Guarded ninth;
    DB_READ_DATA_STRUCT last = request(9, 3, DB_DATA_TYPE_UINT8, ninth.at());

    testing::internal::CaptureStderr();
    DbList_StoreDBReadValues_MT(result.head(), nullptr, 0, true, kCaller, kCallerLine);
    DbList_StoreDBReadValues_MT(result.head(), &last, 1, true, kCaller, kCallerLine);
    DbList_StoreDBReadValues(nullptr, &last, 100, kCaller, kCallerLine);
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(countOf(err, "not found in read data info array"), 5);
    std::string line = std::string("severity 0 error 106: DBPoint ") + GetDBPointName(8) +
                       ", units " + GetUnitName(3) + ", type " +
                       GetDataTypeName(DB_DATA_TYPE_INT16) + " not found in read data info array" +
                       kCalledFrom + ".\n";
    EXPECT_EQ(countOf(err, line), 2) << err;
    EXPECT_TRUE(ninth.holds({3}));
}

TEST_F(DbListTest, UnsupportedTypesLeaveTheVariableAlone) {
    DebugLevel = 4;
    for (std::uint32_t type : {0u, 16u, 18u, 42u}) {
        ReadResult result;
        result.add(11, 1, type, bytesOf<std::uint32_t>(0x01020304));
        result.add(12, 1, DB_DATA_TYPE_UINT16, bytesOf<std::uint16_t>(0x0A0B));
        Guarded unsupported, following;
        DB_READ_DATA_STRUCT requests[] = {request(11, 1, type, unsupported.at()),
                                          request(12, 1, DB_DATA_TYPE_UINT16, following.at())};

        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        DbList_StoreDBReadValues(result.head(), requests, 2, kCaller, kCallerLine);
        std::string err = testing::internal::GetCapturedStderr();
        std::string out = testing::internal::GetCapturedStdout();

        std::string line = std::string("severity 1 error 106: Unsupported data type ") +
                           GetDataTypeName(type) + " for " + GetDBPointName(11) + kCalledFrom +
                           ".\n";
        EXPECT_EQ(countOf(err, line), 1) << err;
        EXPECT_TRUE(unsupported.untouched()) << "type " << type;
        EXPECT_TRUE(following.holds(bytesOf<std::uint16_t>(0x0A0B))) << "type " << type;
        EXPECT_EQ(countOf(out, "value read for"), 1) << out;
    }
}

TEST_F(DbListTest, DebugLinesOnlyAtSpecialLevelIV) {
    struct Case {
        unsigned char level, levelIV;
        int lines;
    } cases[] = {{0, 0, 0}, {3, 0, 0}, {4, 0, 2}, {0, 1, 2}, {7, 1, 2}};
    for (const Case& c : cases) {
        DebugLevel = c.level;
        DebugLevel_IV = c.levelIV;
        ReadResult result;
        result.add(1, 1, DB_DATA_TYPE_INT32, bytesOf<std::int32_t>(5));
        result.add(2, 1, DB_DATA_TYPE_FLOAT32, bytesOf<float>(0.5f));
        Guarded a, b;
        DB_READ_DATA_STRUCT requests[] = {request(1, 1, DB_DATA_TYPE_INT32, a.at()),
                                          request(2, 1, DB_DATA_TYPE_FLOAT32, b.at())};

        lookups = 0;
        testing::internal::CaptureStdout();
        DbList_StoreDBReadValues(result.head(), requests, 2, kCaller, kCallerLine);
        std::string out = testing::internal::GetCapturedStdout();

        SCOPED_TRACE(testing::Message() << "level " << int(c.level) << " IV " << int(c.levelIV));
        EXPECT_EQ(countOf(out, "value read for"), c.lines) << out;
        EXPECT_EQ(lookups, c.lines) << "one point name per line written, none otherwise";
        EXPECT_TRUE(a.holds(bytesOf<std::int32_t>(5)));
        EXPECT_TRUE(b.holds(bytesOf<float>(0.5f)));
    }
}

TEST_F(DbListTest, DebugLineShowsEachTypeAsTheToolsReadIt) {
    static const char text[] = "abc";
    // A 64-bit build shows the pointer's low 32 bits.
    std::uintptr_t address = reinterpret_cast<std::uintptr_t>(&kGarbage);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(address & 0xFFFFFFFFu));
    struct Case {
        std::uint32_t type;
        Bytes value;
        std::string head, shown;
    } cases[] = {
        {DB_DATA_TYPE_BOOLEAN, {1}, "BOOLEAN ", "1"},
        {DB_DATA_TYPE_BOOLEAN, {0xFF}, "BOOLEAN ", "4294967295"},
        {DB_DATA_TYPE_UCHAR, {'A'}, "UCHAR    ", "A"},
        {DB_DATA_TYPE_CHAR, {'z'}, "CHAR    ", "z"},
        {DB_DATA_TYPE_UINT8, {200}, "UINT8   ", "200"},
        {DB_DATA_TYPE_INT8, {0xFD}, "INT8    ", "-3"},
        {DB_DATA_TYPE_UINT16, bytesOf<std::uint16_t>(65535), "UINT16  ", "65535"},
        {DB_DATA_TYPE_INT16, bytesOf<std::int16_t>(-2), "INT16   ", "-2"},
        {DB_DATA_TYPE_UINT32, bytesOf<std::uint32_t>(4294967295u), "UINT32  ", "-1"},
        {DB_DATA_TYPE_INT32, bytesOf<std::int32_t>(-123456), "INT32   ", "-123456"},
        {DB_DATA_TYPE_UINT64, bytesOf<std::uint64_t>(~0ull), "UINT64  ", "-1"},
        {DB_DATA_TYPE_INT64, bytesOf<std::int64_t>(-5000000000ll), "INT64   ", "-5000000000"},
        {DB_DATA_TYPE_FLOAT32, bytesOf<float>(1.5f), "FLOAT32 ", "1.500000"},
        {DB_DATA_TYPE_FLOAT64, bytesOf<double>(-2.25), "FLOAT64 ", "-2.250000e+00"},
        {DB_DATA_TYPE_BIT32, bytesOf<std::uint32_t>(0x80000000u), "Bit32   ", "-2147483648"},
        {DB_DATA_TYPE_STRING, bytesOf<const char*>(text), "STRING  ", "abc"},
        {DB_DATA_TYPE_BINARY, bytesOf<const void*>(&kGarbage), "BINARY  ",
         std::string("0x") + hex + " (ptr)"},
    };
    DebugLevel_IV = 1;
    for (const Case& c : cases) {
        ReadResult result;
        result.add(21, 4, c.type, c.value);
        Guarded variable;
        DB_READ_DATA_STRUCT wanted = request(21, 4, c.type, variable.at());

        testing::internal::CaptureStdout();
        DbList_StoreDBReadValues(result.head(), &wanted, 1, kCaller, kCallerLine);
        std::string out = testing::internal::GetCapturedStdout();

        std::string body =
            c.head + "value read for " + GetDBPointName(21) + "  = " + c.shown + kCalledFrom + "\n";
        EXPECT_EQ(countOf(out, ":" + body), 1) << out;
        EXPECT_EQ(countOf(out, kTracePrefix), 1) << out;
    }
}

TEST(DbListDeathTest, MissingRequestAbortsUnlessTolerated) {
    ReadResult result;
    result.add(7, 3, DB_DATA_TYPE_INT32, bytesOf<std::int32_t>(1));
    DB_READ_DATA_STRUCT otherType = request(7, 3, DB_DATA_TYPE_UINT32, nullptr);
    const std::string pattern =
        std::string("SysLog dbList@[0-9]+: severity 0 error 106: DBPoint ") + GetDBPointName(7) +
        ", units " + GetUnitName(3) + ", type " + GetDataTypeName(DB_DATA_TYPE_INT32) +
        " not found in read data info array \\(called from "
        "client\\.cpp@42\\)\\.";
    Syslogtodebug = 1;
    EXPECT_EXIT(DbList_StoreDBReadValues(result.head(), nullptr, 0, kCaller, kCallerLine),
                ::testing::KilledBySignal(SIGABRT), pattern);
    EXPECT_EXIT(
        DbList_StoreDBReadValues_MT(result.head(), &otherType, 1, false, kCaller, kCallerLine),
        ::testing::KilledBySignal(SIGABRT), pattern);
    Syslogtodebug = 0;
}

// Write lists: each entry's value area takes its variable's bytes.
TEST_F(DbListTest, WriteListTakesEveryVariableAtTheStartOfTheValueArea) {
    std::vector<TypedValue> values = kScalars;
    std::vector<DB_WRITE_DATA_STRUCT> entries(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        DB_WRITE_DATA_STRUCT& entry = entries[i];
        std::memset(&entry, 0x5A, sizeof entry);
        entry.point_id = static_cast<std::int32_t>(i);
        entry.data_type = code(values[i].type);
        std::memset(entry.value, kGarbage, sizeof entry.value);
        entry.data_ptr = values[i].value.data();
    }
    const std::vector<DB_WRITE_DATA_STRUCT> before = entries;

    testing::internal::CaptureStderr();
    DbList_UpdtWriteList(entries.data(), static_cast<unsigned short>(entries.size()), kCaller,
                         kCallerLine);
    DbList_UpdtWriteList(nullptr, 0, kCaller, kCallerLine);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    for (std::size_t i = 0; i < values.size(); ++i) {
        Bytes expected(before[i].value, before[i].value + kDbValueSize);
        std::copy(values[i].value.begin(), values[i].value.end(), expected.begin());
        EXPECT_EQ(Bytes(entries[i].value, entries[i].value + kDbValueSize), expected)
            << "type " << values[i].type;
        EXPECT_EQ(std::memcmp(entries[i].reserved, before[i].reserved, sizeof before[i].reserved),
                  0);
        EXPECT_EQ(entries[i].point_id, before[i].point_id);
        EXPECT_EQ(entries[i].data_ptr, before[i].data_ptr);
    }
}

TEST_F(DbListTest, WriteListStringRefersToTheCallerTextOnEveryCall) {
    char text[] = "old";
    std::int32_t number = 1;
    DB_WRITE_DATA_STRUCT entries[2] = {};
    entries[0] = {1, DB_DATA_TYPE_STRING, {}, {}, text};
    entries[1] = {2, DB_DATA_TYPE_INT32, {}, {}, &number};

    DbList_UpdtWriteList(entries, 2, kCaller, kCallerLine);
    std::memset(entries[1].value, 0, sizeof entries[1].value);
    std::strcpy(text, "new");
    number = -9;
    DbList_UpdtWriteList(entries, 2, kCaller, kCallerLine);

    const char* referred = nullptr;
    std::memcpy(&referred, entries[0].value, sizeof referred);
    EXPECT_EQ(referred, text);
    EXPECT_STREQ(referred, "new");
    EXPECT_EQ(Bytes(entries[1].value, entries[1].value + 4), bytesOf<std::int32_t>(-9));
}

TEST_F(DbListTest, WriteListReportsTypesWithoutValueAndGoesOn) {
    struct Case {
        std::uint32_t type;
        std::string line;
    } cases[] = {
        {16, std::string("Unsupported write list data type (") + GetDataTypeName(16) + ")"},
        {0, "Unrecognized write list data type (0)"},
        {18, "Unrecognized write list data type (18)"},
        {42, "Unrecognized write list data type (42)"},
    };
    for (const Case& c : cases) {
        std::int32_t number = 314;
        DB_WRITE_DATA_STRUCT entries[2] = {};
        entries[0] = {6, code(c.type), {}, {}, &number};
        std::memset(entries[0].value, kGarbage, sizeof entries[0].value);
        entries[1] = {7, DB_DATA_TYPE_INT32, {}, {}, &number};

        testing::internal::CaptureStderr();
        DbList_UpdtWriteList(entries, 2, kCaller, kCallerLine);
        std::string err = testing::internal::GetCapturedStderr();

        std::string expected = "severity 1 error 106: " + c.line + " for point " +
                               GetDBPointName(6) + kCalledFrom + "\n";
        EXPECT_EQ(countOf(err, expected), 1) << err;
        EXPECT_EQ(Bytes(entries[0].value, entries[0].value + kDbValueSize),
                  Bytes(kDbValueSize, kGarbage));
        EXPECT_EQ(Bytes(entries[1].value, entries[1].value + 4), bytesOf<std::int32_t>(314));
    }
}

TEST(DbNames, EveryCodeHasItsOwnPrintableName) {
    // One line prints all three names at once: none may overwrite another.
    const char* point = GetDBPointName(-1);
    const char* units = GetUnitName(2147483647);
    const char* type = GetDataTypeName(4000000000u);
    std::set<std::string> names = {point, units, type};
    for (std::uint32_t code = 0; code <= 18; ++code)
        names.insert(GetDataTypeName(code));
    EXPECT_EQ(names.size(), 22u) << "every code needs a name of its own";
    for (const std::string& name : names)
        EXPECT_TRUE(!name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
            return std::isprint(static_cast<unsigned char>(c)) != 0;
        })) << name;
}

} // namespace
