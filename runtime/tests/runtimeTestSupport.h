// Helpers shared by the runtime's tests, and the headers they use.
#pragma once

#include "debug.h"
#include "debugInternal.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <functional>
#include <regex>

using namespace testing_support;

// What f prints on standard output.
template <typename F> std::string stdoutOf(F f) {
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Trace lines go to standard output (its notice printed already), system-log
// records to standard error too; the levels start at 0.
struct RuntimeTest : ::testing::Test {
    RuntimeTest() {
        debugResetChannel("/nonexistent/debugpipe");
        EXPECT_EQ(stdoutOf([] { DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "", 0, "%s", ""); })
                      .find("The debug pipe /var/run/debugpipe could not be opened (error:No such "
                            "file or directory. No problem. Using printf() for debug.\n"),
                  0u);
        Syslogtodebug = 1;
    }
    ~RuntimeTest() override {
        debugResetChannel(nullptr);
        DebugLevel = DebugLevel_IV = Syslogtodebug = 0;
    }
};
