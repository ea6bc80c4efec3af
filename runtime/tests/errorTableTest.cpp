// The error code table: its shape (size, codes, order, gaps, leading blanks)
// and GetErrorString's look-up.
#include "errorTable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <utility>

namespace {

TEST(ErrorTable, HoldsEachCodeOnceAscendingExceptThat39StandsBefore38) {
    std::size_t count = 0;
    const ErrorTableEntry* entries = errorTableEntries(count);
    ASSERT_EQ(count, 124u);
    std::set<std::int32_t> expected;
    for (std::int32_t code = 0; code <= 159; ++code)
        if (code < 82 || code > 110)
            expected.insert(code);
    for (std::int32_t gap : {9, 10, 11, 13, 147, 149, 150})
        expected.erase(gap);
    std::set<std::int32_t> codes;
    int descents = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const ErrorTableEntry& entry = entries[i];
        codes.insert(entry.code);
        if (i > 0 && entry.code < entries[i - 1].code) {
            ++descents;
            EXPECT_EQ(std::make_pair(entries[i - 1].code, entry.code), std::make_pair(39, 38));
        }
        bool blank = entry.code == 15 || entry.code == 17 || entry.code == 112;
        EXPECT_EQ(entry.message[0] == ' ', blank) << "code " << entry.code;
        EXPECT_EQ(GetErrorString(entry.code), entry.message) << "code " << entry.code;
    }
    EXPECT_EQ(codes, expected); // 124 codes in a set of 124: none repeats
    EXPECT_EQ(descents, 1);
}

TEST(GetErrorString, FindsTheMessageOfACodeOrUndefinedError) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {0, "OK"},
        {38, "The data point has got no alarm limits"},
        {39, "Unable to send depedency update data to depdency task"},
        {15, " Unable to initialize port configuration"},
        {78, "Inavalid stop bit"},
        {159, "The GC is currently low on memory and is unable to process the request. "
              "Please try later."},
    };
    for (const auto& [code, text] : cases)
        EXPECT_STREQ(GetErrorString(code), text) << "code " << code;
    for (std::int32_t code : {9, 82, 110, 150, 160, -1, INT32_MIN})
        EXPECT_STREQ(GetErrorString(code), "Undefined Error") << "code " << code;
}

} // namespace
