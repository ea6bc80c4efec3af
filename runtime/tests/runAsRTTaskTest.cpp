// Real-time priority, the scheduling calls faked; a death test looks for trace lines on stderr.
#include "runAsRTTask.h"
#include "runAsRTTaskInternal.h"
#include "runtimeTestSupport.h"

using Requests = std::vector<std::pair<int, int>>; // policy, priority
struct Fake {
    int lowest, highest;
    bool refuse;
    Requests requests;
} fake;

struct RTPriorityTest : RuntimeTest {
    RTPriorityTest() {
        static const RTSchedulingCalls calls = {
            [](int) { return fake.lowest; }, [](int) { return fake.highest; },
            [](pid_t, int policy, const sched_param* param) {
                fake.requests.emplace_back(policy, param->sched_priority);
                return fake.refuse ? -1 : 0;
            },
            [](pid_t pid, sched_param* p) { return p->sched_priority = 7, pid == 0 ? 0 : -1; }};
        fake = {1, 99, false, {}};
        RTRequestedPriority = -1;
        rtSetSchedulingCalls(&calls);
    }
    ~RTPriorityTest() override { rtSetSchedulingCalls(nullptr); }
};
using RTPriorityDeathTest = RTPriorityTest;

// At level 0 nothing is written on the way to an exit status.
TEST_F(RTPriorityDeathTest, ExitStatusNamesTheCause) {
    const char* refused = "Exiting: Unsuccessful sched_setscheduler\\.\n";
    const std::tuple<int, std::function<void()>, int, const char*> cases[] = {
        {1, [] { fake.lowest = -1, SetRTPriority("5"); }, 5,
         "= -1\n.*Unable to get minimum priority"},
        {1, [] { fake.highest = -1, SetRTPriority("5"); }, 6,
         "= -1\n.*Unable to get maximum priority"},
        {1, [] { SetRTPriority("100"); }, 7, "priority 100 outside of range \\[1, 99\\]\n"},
        {0, [] { SetRTPriority("0"); }, 7, "^$"},
        {1, [] { fake.refuse = true, SetRTPriority("42"); }, 8, refused},
        {0, [] { fake.refuse = true, RTRequestedPriority = 4, SwitchRTScheduling(1); }, 8, refused},
    };
    for (const auto& [level, call, status, message] : cases)
        EXPECT_EXIT((dup2(STDERR_FILENO, STDOUT_FILENO), DebugLevel = level, call()),
                    testing::ExitedWithCode(status), message);
}

// Every whole "-p" applies the argument after it, cut to 16 bits (0 is the lowest here). The
// priority this process (pid 0) runs with is read back and traced.
TEST_F(RTPriorityTest, EachRequestReachesTheSchedulerInTurn) {
    const int RR = SCHED_RR, OTHER = SCHED_OTHER;
    const std::tuple<std::vector<const char*>, std::function<void()>, Requests> cases[] = {
        {{"ds", "-p", "99", "-p", "65537", "-p", "-65494", "-p", "7x"},
         [] {},
         {{RR, 99}, {RR, 1}, {RR, 42}, {RR, 7}}},
        {{"ds", "-p"}, [] { SwitchRTScheduling(0), SwitchRTScheduling(1); }, {}},
        {{"ds", "-p5", "-pp", "6"}, [] {}, {}},
        {{"ds", "-p", "-p", "0"}, [] {}, {{RR, 0}}},
        {{"-p", "-p", "4"},
         [] { SwitchRTScheduling(1), SwitchRTScheduling(0), SwitchRTScheduling(2); },
         {{RR, 4}, {OTHER, 0}, {RR, 4}, {OTHER, 0}}},
        {{}, [] { fake.highest = 65536 + 80, SetMaxRTPriority(); }, {{RR, 80}}},
    };
    for (const auto& [args, then, requests] : cases) {
        fake = {0, 99, false, {}};
        RTRequestedPriority = -1;
        SetRTPriorityFromArgs(int(args.size()), const_cast<char**>(args.data()));
        then();
        EXPECT_EQ(fake.requests, requests);
    }
    DebugLevel = 1;
    EXPECT_NE(stdoutOf([] { SetRTPriority("5"); }).find("priority 5. running with priority 7 "),
              std::string::npos);
}
