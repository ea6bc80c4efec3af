// Each code in the table finds its own message, and any other code "Undefined Error".
#include "errorTable.h"
#include "runtimeTestSupport.h"

#include <set>

TEST(GetErrorString, FindsTheMessageOfEachCodeInTheTableAndOfNoOther) {
    std::set<std::string> messages;
    for (int code = -1; code <= 160; ++code) {
        bool gap = code < 0 || code > 159 || (code > 81 && code < 111) || (code > 8 && code < 12) ||
                   code == 13 || code == 147 || code == 149 || code == 150;
        EXPECT_EQ(messages.insert(GetErrorString(code)).first->compare("Undefined Error") == 0,
                  gap);
    }
    EXPECT_EQ(messages.size(), 125u) << "124 messages of their own and Undefined Error";
    EXPECT_STREQ(GetErrorString(39), "Unable to send depedency update data to depdency task");
}
