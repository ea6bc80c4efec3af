// Real-time priority: the range test after the 16-bit cut, the "-p" scan, the
// read-back check, the switch to normal scheduling and back, and the exit
// statuses with and without messages. The scheduling calls are faked so that
// none of this needs privileges; one test uses the real scheduler where the
// system grants SCHED_RR.
#include "runAsRTTask.h"
#include "debug.h"
#include "debugInternal.h"
#include "runAsRTTaskInternal.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using Request = std::pair<int, int>; // policy, priority

// What the fake system reports and what it was asked.
struct FakeScheduler {
    int lowest = 1;
    int highest = 99;
    bool refuse = false;
    bool unreadable = false;
    int grantedOverride = -1; // >= 0: read back this priority instead of the one set
    int granted = 0;
    bool strayArguments = false; // a call for another policy or process
    std::vector<Request> requests;
};
FakeScheduler fake;

int fakeMin(int policy) {
    fake.strayArguments |= policy != SCHED_RR;
    return fake.lowest;
}
int fakeMax(int policy) {
    fake.strayArguments |= policy != SCHED_RR;
    return fake.highest;
}
int fakeSet(pid_t pid, int policy, const struct sched_param *param) {
    fake.strayArguments |= pid != 0;
    fake.requests.emplace_back(policy, param->sched_priority);
    if (fake.refuse) {
        errno = EPERM;
        return -1;
    }
    fake.granted = param->sched_priority;
    return 0;
}
int fakeGet(pid_t pid, struct sched_param *param) {
    fake.strayArguments |= pid != 0;
    if (fake.unreadable) {
        errno = EINVAL;
        return -1;
    }
    param->sched_priority = fake.grantedOverride >= 0 ? fake.grantedOverride : fake.granted;
    return 0;
}
const RTSchedulingCalls kFakeCalls = {fakeMin, fakeMax, fakeSet, fakeGet};

// A pipe path that does not exist: trace lines go to standard output.
const char *const kNoDebugServer = "/nonexistent-dir/debugpipe";

class RTPriorityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = FakeScheduler{};
        rtSetSchedulingCalls(&kFakeCalls);
        RTMinPriority = 0;
        RTMaxPriority = 0;
        RTRequestedPriority = -1;
        DebugLevel = 0;
        debugResetChannel(kNoDebugServer);
    }
    void TearDown() override {
        rtSetSchedulingCalls(nullptr);
        DebugLevel = 0;
        debugResetChannel(nullptr);
    }

    // Traces of body at level 1.
    template <typename Body> std::string tracesOf(Body body) {
        DebugLevel = 1;
        ::testing::internal::CaptureStdout();
        body();
        std::string out = ::testing::internal::GetCapturedStdout();
        DebugLevel = 0;
        return out;
    }
};

using RTPriorityDeathTest = RTPriorityTest;

// In a death test's child: trace lines (standard output here) join standard
// error, where the death test looks for its message.
void tracesToStderr(unsigned char level) {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    DebugLevel = level;
}

const char *const kBegin = "begin\n";
// Nothing but the child's own marker on standard error.
const char *const kOnlyBegin = "^begin\n$";

struct FatalCase {
    const char *what;
    int lowest;
    int highest;
    bool refuse;
    const char *text;
    int status;
    const char *message; // at level 1
};

const FatalCase kFatalCases[] = {
    {"lowest unreported", -1, 99, false, "5", 5,
     "min priority = -1\n.*max priority = 99\n.*\n\\*\\*\\* Unable to get minimum priority\\. "
     "\\*\\*\\*\n"},
    {"both unreported: the lowest decides", -1, -1, false, "5", 5,
     "Unable to get minimum priority"},
    {"highest unreported", 1, -1, false, "5", 6,
     "max priority = -1\n.*\n\\*\\*\\* Unable to get maximum priority\\. \\*\\*\\*\n"},
    {"one above the highest", 1, 99, false, "100", 7,
     "Scheduler priority 100 outside of range \\[1, 99\\]\n"},
    {"one below the lowest", 1, 99, false, "0", 7,
     "Scheduler priority 0 outside of range \\[1, 99\\]\n"},
    {"no digits gives 0", 1, 99, false, "high", 7,
     "Scheduler priority 0 outside of range \\[1, 99\\]\n"},
    {"65535 is -1 after the cut", 1, 99, false, "65535", 7,
     "Scheduler priority -1 outside of range \\[1, 99\\]\n"},
    {"65536 above 100 is 100", 1, 99, false, "65636", 7,
     "Scheduler priority 100 outside of range \\[1, 99\\]\n"},
    {"negative text", 1, 99, false, " -3", 7,
     "Scheduler priority -3 outside of range \\[1, 99\\]\n"},
    {"policy change refused", 1, 99, true, "42", 8,
     "Exiting: Unsuccessful sched_setscheduler\\.\n"},
};

TEST_F(RTPriorityDeathTest, ExitStatusNamesTheCauseAndTheTraceSaysWhy) {
    for (const FatalCase &c : kFatalCases) {
        SCOPED_TRACE(c.what);
        fake.lowest = c.lowest;
        fake.highest = c.highest;
        fake.refuse = c.refuse;
        EXPECT_EXIT(
            {
                tracesToStderr(1);
                SetRTPriority(c.text);
            },
            ::testing::ExitedWithCode(c.status), c.message);
    }
}

TEST_F(RTPriorityDeathTest, ExitsSilentlyAtLevelZero) {
    for (const FatalCase &c : kFatalCases) {
        SCOPED_TRACE(c.what);
        fake.lowest = c.lowest;
        fake.highest = c.highest;
        fake.refuse = c.refuse;
        EXPECT_EXIT(
            {
                tracesToStderr(0);
                std::fputs(kBegin, stderr);
                SetRTPriority(c.text);
            },
            ::testing::ExitedWithCode(c.status), kOnlyBegin);
    }
}

TEST_F(RTPriorityTest, AcceptedTextIsCutTo16BitsAndBothBoundsBelongToTheRange) {
    struct Case {
        const char *text;
        int lowest;
        int priority;
    } const cases[] = {
        {"1", 1, 1},         {"99", 1, 99},     {"42", 1, 42},     {"65537", 1, 1},
        {"65635", 1, 99},    {" +42", 1, 42},   {"42abc", 1, 42},  {"0x10", 0, 0},
        {"no digits", 0, 0}, {"-65494", 1, 42}, {"131114", 1, 42},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        fake = FakeScheduler{};
        fake.lowest = c.lowest;
        SetRTPriority(c.text);
        EXPECT_EQ(fake.requests, (std::vector<Request>{{SCHED_RR, c.priority}}));
        EXPECT_EQ(RTRequestedPriority, c.priority);
        EXPECT_EQ(RTMinPriority, c.lowest);
        EXPECT_EQ(RTMaxPriority, 99);
        EXPECT_FALSE(fake.strayArguments);
    }
}

TEST_F(RTPriorityTest, RangeLimitsAreCutTo16BitsToo) {
    fake.lowest = 65536 + 2;
    fake.highest = 65536 + 50;
    SetRTPriority("2");
    EXPECT_EQ(RTMinPriority, 2);
    EXPECT_EQ(RTMaxPriority, 50);
    EXPECT_EQ(fake.requests, (std::vector<Request>{{SCHED_RR, 2}}));
}

TEST_F(RTPriorityTest, TracesTheRangeThenTheOutcomeOfTheReadBack) {
    struct Case {
        const char *what;
        bool unreadable;
        int grantedOverride;
        std::vector<std::string> lines; // in this order
    } const cases[] = {
        {"granted",
         false,
         -1,
         {"runAsRTTask@", "min priority = 1\n", "max priority = 99\n",
          "Running with 42 priority. Good!\n"}},
        {"granted another priority",
         false,
         7,
         {"min priority = 1\n", "max priority = 99\n",
          "Not running with request priority 42. running with priority 7 instead!\n"}},
        {"parameters unreadable",
         true,
         -1,
         {"min priority = 1\n", "max priority = 99\n", "Unable to get scheduling parameters.\n",
          "Running with 42 priority. Good!\n"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fake = FakeScheduler{};
        fake.unreadable = c.unreadable;
        fake.grantedOverride = c.grantedOverride;
        std::string out = tracesOf([] { SetRTPriority("42"); });
        std::size_t at = 0;
        for (const std::string &line : c.lines) {
            std::size_t found = out.find(line, at);
            ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n"
                                                << out;
            at = found + line.size();
        }
        EXPECT_EQ(RTRequestedPriority, 42) << "the process goes on with its request";
    }
}

TEST_F(RTPriorityTest, WritesNothingAtLevelZero) {
    fake.grantedOverride = 7;
    ::testing::internal::CaptureStdout();
    SetRTPriority("42");
    SetMaxRTPriority();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(RTPriorityTest, EveryWholePSwitchAppliesTheArgumentAfterIt) {
    struct Case {
        std::vector<const char *> args;
        std::vector<int> priorities;
    } const cases[] = {
        {{"prog", "-p", "5"}, {5}},
        {{"prog", "-p"}, {}},
        {{"prog", "-p5"}, {}},
        {{"prog", "-pp", "5"}, {}},
        {{"prog", "-p", "5", "-p", "7"}, {5, 7}},
        {{"prog", "-p", "-p", "9"}, {0}},
        {{"prog", "-v", "-p", "3", "x", "-p"}, {3}},
        {{"-p", "-p", "4"}, {4}},
    };
    for (const Case &c : cases) {
        std::string shown;
        for (const char *arg : c.args)
            shown += std::string(arg) + " ";
        SCOPED_TRACE(shown);
        fake = FakeScheduler{};
        fake.lowest = 0;
        std::vector<char *> argv;
        for (const char *arg : c.args)
            argv.push_back(const_cast<char *>(arg));
        argv.push_back(nullptr);
        SetRTPriorityFromArgs(static_cast<int>(c.args.size()), argv.data());
        std::vector<Request> expected;
        for (int p : c.priorities)
            expected.emplace_back(SCHED_RR, p);
        EXPECT_EQ(fake.requests, expected);
    }
}

TEST_F(RTPriorityTest, TwoSwitchesEachTraceTheirOwnRequest) {
    const char *args[] = {"prog", "-p", "5", "-p", "7", nullptr};
    std::string out = tracesOf([&] { SetRTPriorityFromArgs(5, const_cast<char **>(args)); });
    std::size_t first = out.find("Running with 5 priority. Good!");
    std::size_t second = out.find("Running with 7 priority. Good!");
    ASSERT_NE(first, std::string::npos) << out;
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_LT(first, second);
    EXPECT_EQ(testing_support::countOf(out, "min priority = 1\n"), 2);
    EXPECT_EQ(RTRequestedPriority, 7) << "the last switch decides";
}

TEST_F(RTPriorityTest, MaxPriorityIsRequestedAsText) {
    fake.highest = 65536 + 80;
    std::string out = tracesOf([] { SetMaxRTPriority(); });
    EXPECT_NE(out.find("Attemping to set Max. priority 80"), std::string::npos) << out;
    EXPECT_EQ(fake.requests, (std::vector<Request>{{SCHED_RR, 80}}));
    EXPECT_EQ(RTRequestedPriority, 80);
}

TEST_F(RTPriorityDeathTest, MaxPriorityUnreportedEndsWithStatusSix) {
    fake.highest = -1;
    EXPECT_EXIT(
        {
            tracesToStderr(1);
            SetMaxRTPriority();
        },
        ::testing::ExitedWithCode(6),
        "Attemping to set Max\\. priority -1.*Unable to get maximum priority\\.");
}

TEST_F(RTPriorityTest, SwitchBeforeAnyRequestMakesNoCall) {
    for (int mode : {0, 1, 2, -1}) {
        SwitchRTScheduling(mode);
        EXPECT_TRUE(fake.requests.empty()) << "mode " << mode;
    }
}

TEST_F(RTPriorityTest, SwitchMovesBetweenNormalAndTheRequestedPriority) {
    struct Case {
        int mode;
        Request request;
    } const cases[] = {
        {0, {SCHED_RR, 42}},
        {1, {SCHED_OTHER, 0}},
        {2, {SCHED_OTHER, 0}},
        {-1, {SCHED_OTHER, 0}},
    };
    SetRTPriority("42");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        fake.requests.clear();
        SwitchRTScheduling(c.mode);
        EXPECT_EQ(fake.requests, std::vector<Request>{c.request});
        EXPECT_EQ(RTRequestedPriority, 42) << "switching never changes the request";
        EXPECT_FALSE(fake.strayArguments);
    }
}

TEST_F(RTPriorityDeathTest, RefusedSwitchWritesItsMessageStraightToStderr) {
    RTRequestedPriority = 42;
    fake.refuse = true;
    for (unsigned char level : {0, 1}) {
        for (int mode : {0, 1}) {
            SCOPED_TRACE(mode);
            EXPECT_EXIT(
                {
                    tracesToStderr(level);
                    SwitchRTScheduling(mode);
                },
                ::testing::ExitedWithCode(8), "^Exiting: Unsuccessful sched_setscheduler\\.\n$");
        }
    }
}

TEST_F(RTPriorityTest, RealSchedulerGrantsAndLeavesRoundRobin) {
    rtSetSchedulingCalls(nullptr);
    int lowest = sched_get_priority_min(SCHED_RR);
    ASSERT_GE(lowest, 0);
    struct sched_param probe {};
    probe.sched_priority = lowest;
    if (sched_setscheduler(0, SCHED_RR, &probe) != 0) {
        int err = errno;
        GTEST_SKIP() << "this system refuses SCHED_RR to the test: " << std::strerror(err);
    }
    struct sched_param normal {};
    ASSERT_EQ(sched_setscheduler(0, SCHED_OTHER, &normal), 0);

    SetRTPriority(std::to_string(lowest).c_str());
    EXPECT_EQ(sched_getscheduler(0), SCHED_RR);
    struct sched_param now {};
    ASSERT_EQ(sched_getparam(0, &now), 0);
    EXPECT_EQ(now.sched_priority, lowest);
    EXPECT_EQ(RTRequestedPriority, lowest);

    SwitchRTScheduling(1);
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
    SwitchRTScheduling(0);
    EXPECT_EQ(sched_getscheduler(0), SCHED_RR);
    SwitchRTScheduling(1);
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
}

} // namespace
