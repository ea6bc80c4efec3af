// Real-time priority. The scheduling calls are faked so that the exit
// statuses, the read-back check and the switches need no privileges; one
// test uses the real scheduler where the system grants SCHED_RR.
#include "runAsRTTask.h"
#include "debug.h"
#include "runAsRTTaskInternal.h"
#include "runtimeTestSupport.h"

#include <sched.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

namespace {

using Requests = std::vector<std::pair<int, int>>; // policy, priority

// What the fake system reports, and what it was asked.
struct FakeScheduler {
    int lowest = 1, highest = 99;
    bool refuse = false, unreadable = false;
    int readBack = -1; // >= 0: reported instead of the priority set
    Requests requests;
} fake;

const RTSchedulingCalls kFakeCalls = {
    [](int) { return fake.lowest; },
    [](int) { return fake.highest; },
    [](pid_t, int policy, const sched_param* param) {
        fake.requests.emplace_back(policy, param->sched_priority);
        return fake.refuse ? -1 : 0;
    },
    [](pid_t, sched_param* param) {
        param->sched_priority = fake.readBack >= 0 ? fake.readBack : fake.requests.back().second;
        return fake.unreadable ? -1 : 0;
    },
};

class RTPriorityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = FakeScheduler{};
        rtSetSchedulingCalls(&kFakeCalls);
        RTRequestedPriority = -1;
        debugResetChannel("/nonexistent/debugpipe"); // trace lines go to standard output
    }
    void TearDown() override {
        rtSetSchedulingCalls(nullptr);
        DebugLevel = 0;
        debugResetChannel(nullptr);
    }
};
using RTPriorityDeathTest = RTPriorityTest;

// In a death test's child: trace lines join standard error after a marker.
void tracesToStderr(unsigned char level) {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    std::fputs("begin\n", stderr);
    DebugLevel = level;
}

TEST_F(RTPriorityDeathTest, ExitStatusNamesTheCauseAndTracesOnlyAboveLevelZero) {
    const struct {
        int lowest, highest;
        bool refuse;
        const char* text;
        int status;
        const char* message;
    } cases[] = {
        {-1, 99, false, "5", 5, "min priority = -1\n.*\\*\\*\\* Unable to get minimum priority\\."},
        {1, -1, false, "5", 6, "max priority = -1\n.*\\*\\*\\* Unable to get maximum priority\\."},
        {1, 99, false, "100", 7, "Scheduler priority 100 outside of range \\[1, 99\\]\n"},
        {1, 99, false, "0", 7, "Scheduler priority 0 outside of range \\[1, 99\\]\n"},
        {1, 99, false, "65535", 7, "Scheduler priority -1 outside of range \\[1, 99\\]\n"},
        {1, 99, true, "42", 8, "Exiting: Unsuccessful sched_setscheduler\\.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        fake.lowest = c.lowest;
        fake.highest = c.highest;
        fake.refuse = c.refuse;
        for (unsigned char level : {0, 1})
            EXPECT_EXIT(
                {
                    tracesToStderr(level);
                    SetRTPriority(c.text);
                },
                ::testing::ExitedWithCode(c.status), level == 0 ? "^begin\n$" : c.message);
    }
    RTRequestedPriority = 42;
    for (int mode : {0, 1})
        EXPECT_EXIT(
            {
                tracesToStderr(0);
                SwitchRTScheduling(mode);
            },
            ::testing::ExitedWithCode(8), "^begin\nExiting: Unsuccessful sched_setscheduler\\.\n$");
}

TEST_F(RTPriorityTest, TracesTheRangeThenWhatTheReadBackSaw) {
    const struct {
        bool unreadable;
        int readBack;
        const char *outcome, *then;
    } cases[] = {
        {false, -1, "Running with 42 priority. Good!\n", ""},
        {false, 7, "Not running with request priority 42. running with priority 7 instead!\n", ""},
        {true, -1, "Unable to get scheduling parameters.\n", "Running with 42 priority. Good!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome);
        fake.unreadable = c.unreadable;
        fake.readBack = c.readBack;
        EXPECT_EQ(stdoutOf([] { SetRTPriority("42"); }), "");
        DebugLevel = 1;
        std::string out = stdoutOf([] { SetRTPriority("42"); });
        DebugLevel = 0;
        std::size_t at = 0; // each line after the one before
        for (const char* line :
             {"runAsRTTask@", "min priority = 1\n", "max priority = 99\n", c.outcome, c.then})
            EXPECT_NE(at = out.find(line, at), std::string::npos) << line << "\n" << out;
        EXPECT_EQ(RTRequestedPriority, 42) << "the process goes on with its request";
    }
}

// The requests of a command line (after the 16-bit cut; 0 is the lowest here),
// of SetMaxRTPriority and of the switches, which need a request first.
TEST_F(RTPriorityTest, EachRequestReachesTheSchedulerInTurn) {
    const struct {
        std::vector<const char*> args;
        Requests requests;
        std::function<void()> then = [] {};
    } cases[] = {
        {{"prog", "-p", "99", "-p", "65537", "-p", "-65494", "-p", "7x"},
         {{SCHED_RR, 99}, {SCHED_RR, 1}, {SCHED_RR, 42}, {SCHED_RR, 7}}},
        {{"prog", "-p"}, {}, [] { SwitchRTScheduling(0), SwitchRTScheduling(1); }},
        {{"prog", "-p5", "-pp", "6"}, {}},
        {{"prog", "-p", "-p", "9"}, {{SCHED_RR, 0}}},
        {{"-p", "-p", "4"},
         {{SCHED_RR, 4}, {SCHED_OTHER, 0}, {SCHED_RR, 4}, {SCHED_OTHER, 0}},
         [] { SwitchRTScheduling(1), SwitchRTScheduling(0), SwitchRTScheduling(-1); }},
        {{}, {{SCHED_RR, 80}}, [] { fake.highest = 65536 + 80, SetMaxRTPriority(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        fake = FakeScheduler{};
        fake.lowest = 0;
        RTRequestedPriority = -1;
        SetRTPriorityFromArgs(int(c.args.size()), const_cast<char**>(c.args.data()));
        c.then();
        EXPECT_EQ(fake.requests, c.requests);
        int last = -1; // the last real-time request stands
        for (const auto& [policy, priority] : c.requests)
            last = policy == SCHED_RR ? priority : last;
        EXPECT_EQ(RTRequestedPriority, last);
    }
}

TEST_F(RTPriorityTest, RealSchedulerGrantsAndLeavesRoundRobin) {
    rtSetSchedulingCalls(nullptr);
    int lowest = sched_get_priority_min(SCHED_RR);
    sched_param param{};
    param.sched_priority = lowest;
    if (sched_setscheduler(0, SCHED_RR, &param) != 0) {
        int err = errno;
        GTEST_SKIP() << "this system refuses SCHED_RR to the test: " << std::strerror(err);
    }
    param.sched_priority = 0;
    ASSERT_EQ(sched_setscheduler(0, SCHED_OTHER, &param), 0);
    SetRTPriority(std::to_string(lowest).c_str());
    EXPECT_EQ(sched_getscheduler(0), SCHED_RR);
    ASSERT_EQ(sched_getparam(0, &param), 0);
    EXPECT_EQ(param.sched_priority, lowest);
    SwitchRTScheduling(1);
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
}

} // namespace
