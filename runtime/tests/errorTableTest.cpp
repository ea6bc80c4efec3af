// GetErrorString finds the message of each code in the table and of no other
// code: a code changed in the table leaves its own code without a message.
#include "errorTable.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(GetErrorString, FindsTheMessageOfEachCodeInTheTableAndOfNoOther) {
    std::set<std::string> messages;
    for (int code = -1; code <= 160; ++code) {
        bool gap = code < 0 || code > 159 || (code > 81 && code < 111) || (code > 8 && code < 12) ||
                   code == 13 || code == 147 || code == 149 || code == 150;
        EXPECT_EQ(GetErrorString(code) == std::string("Undefined Error"), gap) << code;
        messages.insert(GetErrorString(code));
    }
    EXPECT_EQ(messages.size(), 125u) << "124 messages of their own and Undefined Error";
    EXPECT_STREQ(GetErrorString(39), "Unable to send depedency update data to depdency task");
    EXPECT_STREQ(GetErrorString(15), " Unable to initialize port configuration");
}
