// Real-time priority: SCHED_RR at a requested or the highest priority, checked
// by reading the parameters back, and the switch to normal scheduling and back.
#include "runAsRTTask.h"

#include "debug.h"
#include "runAsRTTaskInternal.h"

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::int16_t RTMinPriority = 0;
std::int16_t RTMaxPriority = 0;
std::int16_t RTRequestedPriority = -1;

namespace {

const char* const kModule = "runAsRTTask";

const char* const kMinFormat = "min priority = %i\n";
const char* const kMaxFormat = "max priority = %i\n";
const char* const kNoMinimum = "\n*** Unable to get minimum priority. ***\n";
const char* const kNoMaximum = "\n*** Unable to get maximum priority. ***\n";
const char* const kOutOfRangeFormat = "Scheduler priority %d outside of range [%d, %d]\n";
const char* const kRefused = "Exiting: Unsuccessful sched_setscheduler.\n";
const char* const kNoParameters = "Unable to get scheduling parameters.\n";
const char* const kMismatchFormat =
    "Not running with request priority %i. running with priority %i instead!\n";
const char* const kGoodFormat = "Running with %i priority. Good!\n";
const char* const kMaxAttemptFormat = "Attemping to set Max. priority %s";

const char kPrioritySwitch[] = "-p";
// The highest priority as text: "%i" of a 16-bit number fits with room to spare.
const std::size_t kMaxPriorityTextSize = 10;

const int kExitNoMinimum = 5;
const int kExitNoMaximum = 6;
const int kExitOutOfRange = 7;
const int kExitRefused = 8;

// What the system says when it cannot report a priority.
const std::int16_t kUnreported = -1;
const std::int16_t kNoRequest = -1;

const int kSwitchToRealTime = 0;

const RTSchedulingCalls kSystemCalls = {::sched_get_priority_min, ::sched_get_priority_max,
                                        ::sched_setscheduler, ::sched_getparam};
const RTSchedulingCalls* calls = &kSystemCalls;

// Every priority passes through 16 bits: the low 16 bits, read as signed.
std::int16_t cut16(long value) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
}

} // namespace

// A macro so that each trace carries the line it was written on.
#define RT_TRACE(...)                                                                              \
    do {                                                                                           \
        if (DebugLevel != 0)                                                                       \
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, __LINE__, __VA_ARGS__);                \
    } while (0)

void rtSetSchedulingCalls(const RTSchedulingCalls* replacement) {
    calls = replacement != nullptr ? replacement : &kSystemCalls;
}

void SetRTPriority(const char* priorityText) {
    RTMinPriority = cut16(calls->priorityMin(SCHED_RR));
    RTMaxPriority = cut16(calls->priorityMax(SCHED_RR));
    RT_TRACE(kMinFormat, RTMinPriority);
    RT_TRACE(kMaxFormat, RTMaxPriority);
    if (RTMinPriority == kUnreported) {
        RT_TRACE("%s", kNoMinimum);
        std::exit(kExitNoMinimum);
    }
    if (RTMaxPriority == kUnreported) {
        RT_TRACE("%s", kNoMaximum);
        std::exit(kExitNoMaximum);
    }

    // A missing text reads like text without digits.
    const char* text = priorityText != nullptr ? priorityText : "";
    std::int16_t priority = cut16(std::strtol(text, nullptr, 10));
    if (priority < RTMinPriority || priority > RTMaxPriority) {
        RT_TRACE(kOutOfRangeFormat, priority, RTMinPriority, RTMaxPriority);
        std::exit(kExitOutOfRange);
    }

    RTRequestedPriority = priority;
    struct sched_param wanted {};
    wanted.sched_priority = priority;
    if (calls->setScheduler(0, SCHED_RR, &wanted) < 0) {
        RT_TRACE("%s", kRefused);
        std::exit(kExitRefused);
    }

    // Unreadable parameters are no reason to give up: the change was granted.
    int running = priority;
    struct sched_param actual {};
    if (calls->getParam(0, &actual) < 0)
        RT_TRACE("%s", kNoParameters);
    else
        running = actual.sched_priority;
    if (running != RTRequestedPriority)
        RT_TRACE(kMismatchFormat, RTRequestedPriority, running);
    else
        RT_TRACE(kGoodFormat, running);
}

void SetRTPriorityFromArgs(int argc, char** argv) {
    if (argv == nullptr)
        return;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || std::strcmp(arg, kPrioritySwitch) != 0)
            continue;
        if (i + 1 >= argc)
            break;
        ++i;
        SetRTPriority(argv[i]);
    }
}

void SetMaxRTPriority() {
    char text[kMaxPriorityTextSize] = {};
    std::snprintf(text, sizeof text, "%i", cut16(calls->priorityMax(SCHED_RR)));
    RT_TRACE(kMaxAttemptFormat, text);
    SetRTPriority(text);
}

void SwitchRTScheduling(int mode) {
    if (RTRequestedPriority == kNoRequest)
        return;
    // Every mode but the return to real time asks for normal scheduling, and
    // each request carries a defined priority.
    int policy = SCHED_OTHER;
    struct sched_param wanted {};
    if (mode == kSwitchToRealTime) {
        policy = SCHED_RR;
        wanted.sched_priority = RTRequestedPriority;
    }
    if (calls->setScheduler(0, policy, &wanted) < 0) {
        std::fputs(kRefused, stderr);
        std::exit(kExitRefused);
    }
}
