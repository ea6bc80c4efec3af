// The error code table: its shape (size, codes, order, gaps) and the look-up.
#include "errorTable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

const char* const kUndefined = "Undefined Error";

std::vector<ErrorTableEntry> table() {
    std::size_t count = 0;
    const ErrorTableEntry* entries = errorTableEntries(count);
    return std::vector<ErrorTableEntry>(entries, entries + count);
}

bool hasEntry(std::int32_t code) {
    for (const ErrorTableEntry& entry : table())
        if (entry.code == code)
            return true;
    return false;
}

TEST(ErrorTableShape, HoldsOneHundredTwentyFourEntriesWithUniqueCodesFromZeroTo159) {
    std::vector<ErrorTableEntry> entries = table();
    ASSERT_EQ(entries.size(), 124u);
    std::set<std::int32_t> codes;
    for (const ErrorTableEntry& entry : entries) {
        EXPECT_GE(entry.code, 0);
        EXPECT_LE(entry.code, 159);
        EXPECT_TRUE(codes.insert(entry.code).second) << "duplicate code " << entry.code;
        ASSERT_NE(entry.message, nullptr) << "code " << entry.code;
        EXPECT_GT(std::strlen(entry.message), 0u) << "code " << entry.code;
    }
    EXPECT_EQ(entries.front().code, 0);
    EXPECT_EQ(entries.back().code, 159);
}

TEST(ErrorTableShape, IsAscendingExceptThat39StandsBefore38) {
    std::vector<ErrorTableEntry> entries = table();
    int outOfOrder = 0;
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].code < entries[i - 1].code) {
            ++outOfOrder;
            EXPECT_EQ(entries[i - 1].code, 39);
            EXPECT_EQ(entries[i].code, 38);
        }
    }
    EXPECT_EQ(outOfOrder, 1);
}

TEST(ErrorTableShape, LeavesOutExactlyTheDocumentedGaps) {
    std::set<std::int32_t> gaps = {9, 10, 11, 13, 147, 149, 150};
    for (std::int32_t code = 82; code <= 110; ++code)
        gaps.insert(code);
    for (std::int32_t code = 0; code <= 159; ++code)
        EXPECT_EQ(hasEntry(code), gaps.count(code) == 0) << "code " << code;
}

TEST(ErrorTableShape, KeepsTheLeadingBlanksOfItsMessages) {
    for (const ErrorTableEntry& entry : table()) {
        bool blank = entry.message[0] == ' ';
        bool expected = entry.code == 15 || entry.code == 17 || entry.code == 112;
        EXPECT_EQ(blank, expected) << "code " << entry.code;
    }
}

TEST(GetErrorString, FindsTheFirstAndLastEntries) {
    EXPECT_STREQ(GetErrorString(0), "OK");
    EXPECT_STREQ(GetErrorString(159), "The GC is currently low on memory and is unable to "
                                      "process the request. Please try later.");
}

TEST(GetErrorString, FindsTheOutOfOrderPairByCode) {
    EXPECT_STREQ(GetErrorString(38), "The data point has got no alarm limits");
    EXPECT_STREQ(GetErrorString(39), "Unable to send depedency update data to depdency task");
}

TEST(GetErrorString, ReturnsTheMessagesThatCallersLog) {
    EXPECT_STREQ(GetErrorString(3), "Install signal handler failed");
    EXPECT_STREQ(GetErrorString(42), "Invalid Data from the database or function call");
    EXPECT_STREQ(GetErrorString(62), "System call failed");
    EXPECT_STREQ(GetErrorString(15), " Unable to initialize port configuration");
    EXPECT_STREQ(GetErrorString(78), "Inavalid stop bit");
}

TEST(GetErrorString, ReturnsTheTablesOwnText) {
    for (const ErrorTableEntry& entry : table())
        EXPECT_EQ(GetErrorString(entry.code), entry.message) << "code " << entry.code;
}

TEST(GetErrorString, CallsCodesWithoutAnEntryUndefined) {
    for (std::int32_t code : {9, 13, 82, 106, 110, 147, 150, 160, 1000, -1, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(GetErrorString(code), kUndefined) << "code " << code;
}

} // namespace
