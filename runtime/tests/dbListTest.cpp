// Database value lists. Values are placed at the start of the area, garbage after them, so that a
// copy of the wrong width or from the wrong end shows here and on the big-endian target.
#include "dbList.h"
#include "dbNames.h"
#include "runtimeTestSupport.h"

using Bytes = std::vector<unsigned char>;

char kCaller[] = "c";
const char kText[] = "abc";
const std::string kCalledFrom = " (called from c@42)";

template <typename T> Bytes bytesOf(T value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// A caller's variable: VALUE from byte 8 on, guard bytes around it.
Bytes variable(const Bytes& value = {}) {
    Bytes bytes(24, 0xAA);
    std::copy(value.begin(), value.end(), bytes.begin() + 8);
    return bytes;
}

// Point i has the type of row i; a row without a trace line carries no value.
const struct Row {
    DB_DATA_TYPE_ENUM type;
    Bytes placed; // in the value area, or the write-list variable
    std::string line, shown;
    Bytes stored = placed; // what the read variable receives
} kRows[] = {
    {DB_DATA_TYPE_BOOLEAN, {0xFF}, "173:BOOLEAN ", "4294967295"},
    {DB_DATA_TYPE_UCHAR, {'A'}, "178:UCHAR    ", "A"},
    {DB_DATA_TYPE_CHAR, {'z'}, "182:CHAR    ", "z"},
    {DB_DATA_TYPE_UINT8, {0xFF}, "186:UINT8   ", "255"},
    {DB_DATA_TYPE_INT8, {0xFD}, "190:INT8    ", "-3"},
    {DB_DATA_TYPE_UINT16, bytesOf<std::uint16_t>(0xBEEF), "194:UINT16  ", "48879"},
    {DB_DATA_TYPE_INT16, bytesOf<std::int16_t>(-2), "198:INT16   ", "-2"},
    {DB_DATA_TYPE_UINT32, bytesOf(4294967295u), "202:UINT32  ", "-1"},
    {DB_DATA_TYPE_INT32, bytesOf(-70000), "206:INT32   ", "-70000"},
    {DB_DATA_TYPE_UINT64, bytesOf(~1ull), "210:UINT64  ", "-2"},
    {DB_DATA_TYPE_INT64, bytesOf(-5000000000ll), "214:INT64   ", "-5000000000"},
    {DB_DATA_TYPE_FLOAT32, bytesOf(1.5f), "218:FLOAT32 ", "1.500000"},
    {DB_DATA_TYPE_FLOAT64, bytesOf(-2.25), "222:FLOAT64 ", "-2.250000e+00"},
    {DB_DATA_TYPE_BIT32, bytesOf(0x80000000u), "226:Bit32   ", "-2147483648"},
    {DB_DATA_TYPE_STRING, bytesOf(kText), "230:STRING  ", "abc", {'a', 'b', 'c', 0}},
    {DB_DATA_TYPE_BINARY, bytesOf(~std::uintptr_t(0xedcb5432)), "236:BINARY  ", "0x1234abcd (ptr)"},
    {DB_DATA_TYPE_ENUM(16), {1}, "", ""},
    {DB_DATA_TYPE_ENUM(18), {1}, "", ""},
};
const std::size_t kCount = std::size(kRows);

using DbListDeathTest = RuntimeTest;

// A last record matches no request. The requests, in reverse order, give each record a near miss
// (another type, other units), its own and a second matching one.
TEST_F(DbListDeathTest, EveryValueLandsInTheFirstMatchingRequestByteForByte) {
    std::vector<dbapi_data_list_struct> records(kCount + 1);
    std::vector<Bytes> variables(kCount + 1, variable());
    std::vector<DB_READ_DATA_STRUCT> requests;
    std::string traces, logs;
    for (std::size_t i = 0; i <= kCount; ++i) {
        const Row& row = kRows[i % kCount];
        const std::string point = "POINT_" + std::to_string(i);
        records[i] = {int(i), row.type, {}, 7, 0, i < kCount ? &records[i + 1] : nullptr};
        std::memset(records[i].value, 0xEE, kDbValueSize);
        std::copy(row.placed.begin(), row.placed.end(), records[i].value);
        if (i == kCount)
            logs += "SysLog dbList@138: severity 0 error 106: DBPoint " + point +
                    ", units UNIT_7, type BOOLEAN not found in read data info array (called "
                    "from c@42).\n";
        else if (row.line.empty())
            logs += "SysLog dbList@159: severity 1 error 106: Unsupported data type " +
                    std::string(GetDataTypeName(row.type)) + " for " + point + kCalledFrom + ".\n";
        else
            traces += "dbList@" + row.line + "value read for " + point + "  = " + row.shown +
                      kCalledFrom + "\n";
    }
    for (std::size_t i = kCount; i-- > 0;)
        for (auto [units, type, to] : {std::tuple(7, kRows[i].type ^ 1, kCount),
                                       {8, kRows[i].type, kCount},
                                       {7, kRows[i].type, i},
                                       {7, kRows[i].type, kCount}})
            requests.push_back({int(i), units, DB_DATA_TYPE_ENUM(type), 0, &variables[to][8]});
    // The first request is then BINARY's own, with its second match after it.
    std::rotate(requests.begin(), requests.begin() + 10, requests.end());
    for (auto [level, levelIV] : {std::pair(3, 0), std::pair(4, 0), std::pair(0, 1)}) {
        DebugLevel = level;
        DebugLevel_IV = levelIV;
        testing::internal::CaptureStderr();
        std::string out = stdoutOf([&] {
            DbList_StoreDBReadValues_MT(records.data(), requests.data(), requests.size(), true,
                                        kCaller, 42);
        });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), logs);
        EXPECT_EQ(std::regex_replace(out, std::regex(".* 3  0  "), ""), level == 3 ? "" : traces);
    }
    for (std::size_t i = 0; i <= kCount; ++i)
        EXPECT_EQ(variables[i],
                  variable(i == kCount || kRows[i].line.empty() ? Bytes{} : kRows[i].stored))
            << i;
    EXPECT_EXIT(DbList_StoreDBReadValues(records.data(), nullptr, 0, kCaller, 42),
                testing::KilledBySignal(SIGABRT), "POINT_0, units UNIT_7, type BOOLEAN not found");
}

// A STRING entry refers to the caller's text itself.
TEST_F(RuntimeTest, WriteListTakesEachVariableAndReportsTypesWithoutValue) {
    std::vector<DB_WRITE_DATA_STRUCT> entries;
    for (const Row& row : kRows) {
        const void* from = row.type == DB_DATA_TYPE_STRING ? kText : (const void*)row.placed.data();
        entries.push_back({int(entries.size()), row.type, {}, {}, const_cast<void*>(from)});
        std::memset(entries.back().value, 0xEE, kDbValueSize);
    }
    testing::internal::CaptureStderr();
    DbList_UpdtWriteList(entries.data(), entries.size(), kCaller, 42);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SysLog dbList@290: severity 1 error 106: Unsupported write list data type (UNUSED) "
              "for point POINT_16 (called from c@42)\n"
              "SysLog dbList@294: severity 1 error 106: Unrecognized write list data type (18) "
              "for point POINT_17 (called from c@42)\n");
    for (std::size_t i = 0; i < kCount; ++i) {
        Bytes area(kDbValueSize, 0xEE);
        if (!kRows[i].line.empty())
            std::copy(kRows[i].placed.begin(), kRows[i].placed.end(), area.begin());
        EXPECT_EQ(Bytes(entries[i].value, entries[i].value + kDbValueSize), area) << i;
    }
}
