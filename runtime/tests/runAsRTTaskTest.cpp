// Real-time priority, with the scheduling calls faked so that exit statuses,
// the read-back check and the switches need no privileges.
#include "runAsRTTask.h"
#include "runAsRTTaskInternal.h"
#include "runtimeTestSupport.h"

using Requests = std::vector<std::pair<int, int>>; // policy, priority

// What the fake system reports (readBack >= 0: instead of the priority set),
// and what it was asked.
struct Fake {
    int lowest = 1, highest = 99, readBack = -1;
    bool refuse = false, unreadable = false;
    Requests requests;
} fake;

class RTPriorityTest : public RuntimeTest {
  protected:
    RTPriorityTest() {
        static const RTSchedulingCalls calls = {
            [](int) { return fake.lowest; }, [](int) { return fake.highest; },
            [](pid_t, int policy, const sched_param* param) {
                fake.requests.emplace_back(policy, param->sched_priority);
                return fake.refuse ? -1 : 0;
            },
            [](pid_t, sched_param* param) {
                param->sched_priority =
                    fake.readBack >= 0 ? fake.readBack : fake.requests.back().second;
                return fake.unreadable ? -1 : 0;
            }};
        fake = Fake{};
        rtSetSchedulingCalls(&calls);
        RTRequestedPriority = -1;
    }
    ~RTPriorityTest() override { rtSetSchedulingCalls(nullptr); }
};
using RTPriorityDeathTest = RTPriorityTest;

// In the child, trace lines join standard error after "begin"; at level 0
// nothing else is written.
TEST_F(RTPriorityDeathTest, ExitStatusNamesTheCause) {
    const std::string refused = "Exiting: Unsuccessful sched_setscheduler\\.\n";
    const std::tuple<int, std::function<void()>, int, std::string> cases[] = {
        {1, [] { fake.lowest = -1, SetRTPriority("5"); }, 5,
         "min priority = -1\n.*\\*\\*\\* Unable to get minimum priority\\. \\*\\*\\*\n"},
        {1, [] { fake.highest = -1, SetRTPriority("5"); }, 6,
         "max priority = -1\n.*\\*\\*\\* Unable to get maximum priority\\. \\*\\*\\*\n"},
        {1, [] { SetRTPriority("65535"); }, 7,
         "Scheduler priority -1 outside of range \\[1, 99\\]\n"},
        {1, [] { SetRTPriority("100"); }, 7,
         "Scheduler priority 100 outside of range \\[1, 99\\]\n"},
        {0, [] { SetRTPriority("0"); }, 7, "^begin\n$"},
        {1, [] { fake.refuse = true, SetRTPriority("42"); }, 8, refused},
        {0, [] { fake.refuse = true, RTRequestedPriority = 42, SwitchRTScheduling(0); }, 8,
         "^begin\n" + refused + "$"},
    };
    for (const auto& [level, call, status, message] : cases)
        EXPECT_EXIT(
            {
                std::fflush(stdout);
                dup2(STDERR_FILENO, STDOUT_FILENO);
                std::fputs("begin\n", stderr);
                DebugLevel = level;
                call();
            },
            ::testing::ExitedWithCode(status), message);
}

// Every whole "-p" applies the argument after it, cut to 16 bits (0 is the
// lowest here); SetMaxRTPriority asks for the highest; once there is a request,
// the switches move between it and normal scheduling.
TEST_F(RTPriorityTest, EachRequestReachesTheSchedulerInTurn) {
    const int RR = SCHED_RR, OTHER = SCHED_OTHER;
    const std::tuple<std::vector<const char*>, std::function<void()>, Requests> cases[] = {
        {{"ds", "-p", "99", "-p", "65537", "-p", "-65494", "-p", "7x"},
         [] {},
         {{RR, 99}, {RR, 1}, {RR, 42}, {RR, 7}}},
        {{"ds", "-p"}, [] { SwitchRTScheduling(0), SwitchRTScheduling(1); }, {}},
        {{"ds", "-p5", "-pp", "6"}, [] {}, {}},
        {{"-p", "-p", "4"},
         [] { SwitchRTScheduling(1), SwitchRTScheduling(0), SwitchRTScheduling(-1); },
         {{RR, 4}, {OTHER, 0}, {RR, 4}, {OTHER, 0}}},
        {{}, [] { fake.highest = 65536 + 80, SetMaxRTPriority(); }, {{RR, 80}}},
    };
    for (const auto& [args, then, requests] : cases) {
        fake = Fake{};
        fake.lowest = 0, RTRequestedPriority = -1;
        SetRTPriorityFromArgs(int(args.size()), const_cast<char**>(args.data()));
        then();
        EXPECT_EQ(fake.requests, requests);
        int last = -1; // the last real-time request stands
        for (const auto& [policy, priority] : requests)
            last = policy == RR ? priority : last;
        EXPECT_EQ(RTRequestedPriority, last);
    }
}

// At level 1 the range, then what the read-back saw; the process goes on.
TEST_F(RTPriorityTest, TracesTheRangeThenWhatTheReadBackSaw) {
    const std::tuple<bool, int, std::string> cases[] = {
        {false, -1, "Running with 42 priority. Good!\n\n"},
        {false, 7, "Not running with request priority 42. running with priority 7 instead!\n\n"},
        {true, -1, "Unable to get scheduling parameters.\n\nRunning with 42 priority. Good!\n\n"},
    };
    for (const auto& [unreadable, readBack, outcome] : cases) {
        fake.unreadable = unreadable, fake.readBack = readBack;
        DebugLevel = 1;
        std::string out = stdoutOf([] { SetRTPriority("42"); });
        EXPECT_EQ(std::regex_replace(out, std::regex(".*runAsRTTask@[0-9]+:"), ""),
                  "min priority = 1\n\nmax priority = 99\n\n" + outcome);
        EXPECT_EQ(RTRequestedPriority, 42);
    }
}
