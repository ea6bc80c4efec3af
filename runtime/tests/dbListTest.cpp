// Database value lists. Read results are built as the database client builds
// them (linked records, each value at the start of its area, garbage after
// it) and the checks look at the caller's bytes, so a copy of the wrong width
// or from the wrong end of the area shows here and on the big-endian target.
#include "dbList.h"
#include "dbNames.h"
#include "runtimeTestSupport.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

using testing_support::countOf;
using Bytes = std::vector<unsigned char>;

char kCaller[] = "client.cpp";
const std::string kCalledFrom = " (called from client.cpp@42)";
const unsigned char kGarbage = 0xEE;
const char kText[] = "abc";

template <typename T> Bytes bytesOf(T value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// A caller variable: bytes 8 on, with guard bytes around them.
Bytes holding(const Bytes& value) {
    Bytes variable(24, 0xAA);
    std::copy(value.begin(), value.end(), variable.begin() + 8);
    return variable;
}

// A read result of one record per value, linked in order.
std::vector<dbapi_data_list_struct> listOf(const std::vector<std::pair<int, Bytes>>& values) {
    std::vector<dbapi_data_list_struct> records(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        records[i] = {int(i), DB_DATA_TYPE_ENUM(values[i].first), {}, 7, 0, &records[i] + 1};
        std::memset(records[i].value, kGarbage, kDbValueSize);
        std::copy(values[i].second.begin(), values[i].second.end(), records[i].value);
    }
    records.back().next = nullptr;
    return records;
}

// output without the line numbers of its records, each checked to be the line
// of its call in dbList.cpp.
std::string withoutCallLines(std::string output) {
    std::istringstream in(testing_support::readFile(TEST_SOURCE_DIR "/runtime/dbList.cpp"));
    std::vector<std::string> source(1);
    for (std::string line; std::getline(in, line);)
        source.push_back(line);
    for (std::size_t at = 0; (at = output.find("dbList@", at) + 7) != std::string::npos + 7;) {
        std::size_t digits = 0, line = std::stoul(output.substr(at), &digits);
        EXPECT_NE(source.at(line).find("Log("), std::string::npos) << line;
        output.erase(at, digits);
    }
    return output;
}

const struct Row {
    int type;
    Bytes placed;          // in the value area, or the write-list variable
    std::string shown;     // the trace line; none: the type carries no value
    Bytes stored = placed; // what the read variable receives
} kRows[] = {
    {DB_DATA_TYPE_BOOLEAN, {0xFF}, "BOOLEAN value read for POINT_0  = 4294967295"},
    {DB_DATA_TYPE_UCHAR, {'A'}, "UCHAR    value read for POINT_1  = A"},
    {DB_DATA_TYPE_CHAR, {'z'}, "CHAR    value read for POINT_2  = z"},
    {DB_DATA_TYPE_UINT8, {0xFF}, "UINT8   value read for POINT_3  = 255"},
    {DB_DATA_TYPE_INT8, {0xFD}, "INT8    value read for POINT_4  = -3"},
    {DB_DATA_TYPE_UINT16, bytesOf<std::uint16_t>(0xBEEF),
     "UINT16  value read for POINT_5  = 48879"},
    {DB_DATA_TYPE_INT16, bytesOf<std::int16_t>(-2), "INT16   value read for POINT_6  = -2"},
    {DB_DATA_TYPE_UINT32, bytesOf(4294967295u), "UINT32  value read for POINT_7  = -1"},
    {DB_DATA_TYPE_INT32, bytesOf(-70000), "INT32   value read for POINT_8  = -70000"},
    {DB_DATA_TYPE_UINT64, bytesOf(~1ull), "UINT64  value read for POINT_9  = -2"},
    {DB_DATA_TYPE_INT64, bytesOf(-5000000000ll), "INT64   value read for POINT_10  = -5000000000"},
    {DB_DATA_TYPE_FLOAT32, bytesOf(1.5f), "FLOAT32 value read for POINT_11  = 1.500000"},
    {DB_DATA_TYPE_FLOAT64, bytesOf(-2.25), "FLOAT64 value read for POINT_12  = -2.250000e+00"},
    {DB_DATA_TYPE_BIT32, bytesOf(0x80000000u), "Bit32   value read for POINT_13  = -2147483648"},
    {DB_DATA_TYPE_BINARY, bytesOf(&kGarbage), "BINARY  value read for POINT_14  = 0x"}, // + pointer
    {DB_DATA_TYPE_STRING,
     bytesOf(kText),
     "STRING  value read for POINT_15  = abc",
     {'a', 'b', 'c', 0}},
    {DB_DATA_TYPE_STRING,
     bytesOf<const char*>(nullptr),
     "STRING  value read for POINT_16  = ",
     {0}},
    {0, {1}, ""},
    {16, {1}, ""},
    {18, {1}, ""},
};

class DbListTest : public RuntimeTest {};
using DbListDeathTest = DbListTest;

TEST_F(DbListTest, EveryTypeLandsByteForByteAndTracesOnlyAtLevelIV) {
    char binary[32]; // a 64-bit build shows the pointer's low 32 bits
    std::snprintf(binary, sizeof binary, "%x (ptr)", unsigned(std::uintptr_t(&kGarbage)));
    for (const auto& [level, levelIV] : {std::pair(3, 0), std::pair(4, 0), std::pair(0, 1)}) {
        DebugLevel = level, DebugLevel_IV = levelIV;
        std::vector<std::pair<int, Bytes>> values;
        std::vector<Bytes> variables(std::size(kRows), holding({}));
        std::vector<DB_READ_DATA_STRUCT> requests;
        for (const Row& row : kRows) {
            values.emplace_back(row.type, row.placed);
            // In reverse, so that every record's search has to start at the first.
            requests.insert(requests.begin(),
                            {int(values.size() - 1), 7, DB_DATA_TYPE_ENUM(row.type), 0,
                             variables[values.size() - 1].data() + 8});
        }
        auto records = listOf(values);
        testing::internal::CaptureStderr();
        std::string out = withoutCallLines(stdoutOf([&] {
            DbList_StoreDBReadValues(records.data(), requests.data(), requests.size(), kCaller, 42);
        }));
        std::string err = withoutCallLines(testing::internal::GetCapturedStderr());
        for (std::size_t i = 0; i < std::size(kRows); ++i) {
            const Row& row = kRows[i];
            bool carries = !row.shown.empty();
            EXPECT_EQ(variables[i], holding(carries ? row.stored : Bytes{})) << row.type;
            std::string line = "3  0  dbList@:" + row.shown +
                               (row.type == DB_DATA_TYPE_BINARY ? binary : "") + kCalledFrom + "\n";
            if (!carries)
                line = "SysLog dbList@: severity 1 error 106: Unsupported data type " +
                       std::string(GetDataTypeName(row.type)) + " for POINT_" + std::to_string(i) +
                       kCalledFrom + ".\n";
            EXPECT_EQ(countOf(carries ? out : err, line), carries && level == 3 ? 0 : 1) << line;
        }
    }
}

// Only the first request that matches point, units and type receives; a record
// without one is logged, and ends the process unless that is tolerated.
TEST_F(DbListDeathTest, OnlyTheFirstRequestMatchingAllThreeFieldsReceives) {
    auto records = listOf({{DB_DATA_TYPE_INT32, bytesOf(77)}, {DB_DATA_TYPE_INT16, {2, 0}}});
    std::vector<Bytes> v(5, holding({})); // three near misses, then two exact matches
    DB_READ_DATA_STRUCT requests[] = {
        {1, 7, DB_DATA_TYPE_INT32, 0, v[0].data() + 8},
        {0, 8, DB_DATA_TYPE_INT32, 0, v[1].data() + 8},
        {0, 7, DB_DATA_TYPE_UINT32, 0, v[2].data() + 8},
        {0, 7, DB_DATA_TYPE_INT32, 0, v[3].data() + 8},
        {0, 7, DB_DATA_TYPE_INT32, 0, v[4].data() + 8},
    };
    testing::internal::CaptureStderr();
    DbList_StoreDBReadValues_MT(records.data(), requests, 5, true, kCaller, 42);
    DbList_StoreDBReadValues_MT(records.data(), nullptr, 0, true, kCaller, 42);
    DbList_StoreDBReadValues(nullptr, requests, 5, kCaller, 42);
    std::string err = withoutCallLines(testing::internal::GetCapturedStderr());
    EXPECT_EQ(v, (std::vector<Bytes>{v[0], v[0], v[0], holding(bytesOf(77)), v[0]}));
    const std::string missing = ": severity 0 error 106: DBPoint POINT_1, units UNIT_7, type INT16 "
                                "not found in read data info array";
    EXPECT_EQ(err, "SysLog dbList@" + missing + kCalledFrom +
                       ".\nSysLog dbList@: severity 0 error "
                       "106: DBPoint POINT_0, units UNIT_7, type INT32 not found in read data info "
                       "array" +
                       kCalledFrom + ".\nSysLog dbList@" + missing + kCalledFrom + ".\n");
    EXPECT_EXIT(DbList_StoreDBReadValues(records.data(), requests, 5, kCaller, 42),
                ::testing::KilledBySignal(SIGABRT),
                "SysLog dbList@[0-9]+" + missing + " \\(called from client\\.cpp@42\\)\\.\n$");
}

// A STRING entry refers to the caller's text itself.
TEST_F(DbListTest, WriteListTakesEachVariableOnEveryCallAndReportsTypesWithoutValue) {
    std::vector<DB_WRITE_DATA_STRUCT> entries;
    for (const Row& row : kRows) {
        void* from = const_cast<unsigned char*>(row.placed.data());
        if (row.type == DB_DATA_TYPE_STRING)
            std::memcpy(&from, row.placed.data(), sizeof from);
        entries.push_back({int(entries.size()), DB_DATA_TYPE_ENUM(row.type), {}, {}, from});
    }
    for (int call = 1; call <= 2; ++call) {
        for (DB_WRITE_DATA_STRUCT& entry : entries)
            std::memset(entry.value, kGarbage, kDbValueSize);
        testing::internal::CaptureStderr();
        DbList_UpdtWriteList(entries.data(), entries.size(), kCaller, 42);
        DbList_UpdtWriteList(nullptr, 0, kCaller, 42);
        std::string err = withoutCallLines(testing::internal::GetCapturedStderr());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            Bytes area(kDbValueSize, kGarbage);
            if (!kRows[i].shown.empty())
                std::copy(kRows[i].placed.begin(), kRows[i].placed.end(), area.begin());
            EXPECT_EQ(Bytes(entries[i].value, entries[i].value + kDbValueSize), area) << i;
        }
        const std::string log = "SysLog dbList@: severity 1 error 106: ";
        EXPECT_EQ(err, log + "Unrecognized write list data type (0) for point POINT_17" +
                           kCalledFrom + "\n" + log +
                           "Unsupported write list data type (UNUSED) for point POINT_18" +
                           kCalledFrom + "\n" + log +
                           "Unrecognized write list data type (18) for point POINT_19" +
                           kCalledFrom + "\n");
    }
}

} // namespace
