// Seam of the real-time priority module for tests. Internal: never exported.
#pragma once

#include <sched.h>
#include <sys/types.h>

// The four scheduling calls of the module, so that tests can make the system
// report, refuse or grant whatever they need without privileges.
struct RTSchedulingCalls {
    int (*priorityMin)(int policy);
    int (*priorityMax)(int policy);
    int (*setScheduler)(pid_t pid, int policy, const struct sched_param* param);
    int (*getParam)(pid_t pid, struct sched_param* param);
};

// Routes the module's scheduling calls through calls; null restores the
// system's own.
void rtSetSchedulingCalls(const RTSchedulingCalls* calls);
