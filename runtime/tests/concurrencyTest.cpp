// The runtime in threaded programs that take signals; odd inputs kept defined.
#include "dbList.h"
#include "debug.h"
#include "debugInternal.h"
#include "wrappers.h"
#include "wrappersOs.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <csignal>
#include <sstream>
#include <thread>
#include <vector>

namespace {

template <typename F> void onThreads(int count, F f) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(f, t);
    for (std::thread& thread : threads)
        thread.join();
}

std::string textOf(int thread) { // longer than stdio's buffer from thread 3 on
    return std::string(std::size_t(thread) * 1500, char('a' + thread)) + " END";
}

TEST(Concurrency, ThreadsPrintWholeLinesOnStdout) {
    debugResetChannel("/nonexistent/debugpipe");
    testing::internal::CaptureStdout();
    onThreads(6, [](int t) {
        for (int i = 0; i < 200; ++i)
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "thr", t, "%s", textOf(t).c_str());
    });
    std::istringstream out(testing::internal::GetCapturedStdout());
    const std::string pid = " :  pid (" + std::to_string(getpid()) + ") 3  0  thr@";
    std::vector<int> whole(7); // [6]: all lines, the notice's included
    for (std::string line; std::getline(out, line); ++whole[6])
        for (int t = 0; t < 6; ++t)
            whole[t] += line == line.substr(0, 19) + pid + std::to_string(t) + ":" + textOf(t);
    EXPECT_EQ(std::vector<int>({200, 200, 200, 200, 200, 200, 1201}), whole);
}

std::vector<long> asked; // nanoseconds that each sleep was asked for

TEST(Concurrency, InterruptedPauseSleepsTheRestOfItsSecond) {
    wrappersOs().accept = [](int, sockaddr*, socklen_t*) { return errno = EMFILE, -1; };
    wrappersOs().nanosleep = [](const timespec* duration, timespec* left) {
        asked.push_back(duration->tv_sec * 1000000000 + duration->tv_nsec);
        *left = {0, 700000000 - 300000000 * long(asked.size())}; // 0.4 s left, then 0.1 s
        return asked.size() < 3 ? (errno = EINTR, -1) : 0;
    };
    EXPECT_EQ(-1, ACceptWithTimeOut(3, nullptr, nullptr, 0, "caller", 1));
    wrappersOs() = realWrappersOs();
    EXPECT_EQ((std::vector<long>{1000000000, 400000000, 100000000}), asked);
}

TEST(OddInput, OverflowingCountAndDifferenceStayDefined) {
    // The fake tells the count that it got: a count of -1 (select() refuses it) returns 1.
    wrappersOs().select = [](int count, fd_set*, fd_set*, fd_set*, timeval*) { return count + 2; };
    EXPECT_EQ(1, SElect(LONG_MAX, nullptr, nullptr, "caller", 1));
    wrappersOs() = realWrappersOs();
    timeval diff{};
    DiffTime({1, 1}, {LONG_MIN, LONG_MIN}, &diff); // every step overflows
    EXPECT_EQ(std::pair(LONG_MAX - 1, LONG_MIN + 999999), std::pair(diff.tv_sec, diff.tv_usec));
}

TEST(Concurrency, RaiseSignalsOnManyThreadsLoseNoStep) {
    InstallDebug(0, nullptr);
    DebugLevel = 7;
    onThreads(4, [](int) {
        for (int i = 0; i < 2000; ++i)
            raise(SIGUSR1);
    });
    EXPECT_EQ((7 + 4 * 2000) % 256, int(DebugLevel));
}

} // namespace
