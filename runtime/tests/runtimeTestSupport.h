// Helpers shared by the runtime's tests, and the headers they all use.
#pragma once

#include "debug.h"
#include "debugInternal.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <regex>
#include <vector>

using testing_support::countOf;

// What f prints on standard output.
template <typename F> std::string stdoutOf(F f) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Trace lines go to standard output (the channel has printed its notice) and
// system-log records to standard error too; the levels start at 0. Everything
// is put back afterwards.
class RuntimeTest : public ::testing::Test {
  protected:
    RuntimeTest() {
        debugResetChannel("/nonexistent/debugpipe");
        stdoutOf([] { DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "", 0, "%s", ""); });
        Syslogtodebug = 1;
    }
    ~RuntimeTest() override {
        debugResetChannel(nullptr);
        DebugLevel = DebugLevel_IV = Syslogtodebug = 0;
    }
};
