// Real-time priority for a process of the analyser.
//
// Puts the calling process under the round-robin real-time policy (SCHED_RR)
// at a priority given as text ("-p N" on the command line) or at the highest
// priority the policy allows, and checks what the system granted. A later
// call can move the process to normal scheduling and back again.
//
// Priorities pass through 16 bits: the text is converted with strtol (base 10)
// and cut to its low 16 bits, read as signed, before the range test.
//
// A process that cannot get what it asked for ends with exit status:
//   5  the system did not report the lowest SCHED_RR priority
//   6  the system did not report the highest SCHED_RR priority
//   7  the requested priority lies outside [lowest, highest]
//   8  the system refused the change of policy or priority
// Messages go to DebugLog ("runAsRTTask") only while DebugLevel is nonzero,
// so at level 0 these exits are silent; SwitchRTScheduling alone writes its
// one message straight to standard error. Nothing here is exported.
#pragma once

#include <cstdint>

// The lowest and highest SCHED_RR priority, as the system last reported them.
extern std::int16_t RTMinPriority;
extern std::int16_t RTMaxPriority;
// The real-time priority last asked for; -1 until SetRTPriority has asked.
extern std::int16_t RTRequestedPriority;

// Sets SCHED_RR at the priority that priorityText gives, or ends the process.
void SetRTPriority(const char* priorityText);

// Applies SetRTPriority to the value of every "-p" argument, in order. Only an
// argument that is exactly "-p" is the switch; its value is never read as a
// switch itself, and a "-p" in last place is ignored.
void SetRTPriorityFromArgs(int argc, char** argv);

// Applies SetRTPriority to the highest SCHED_RR priority.
void SetMaxRTPriority();

// Mode 0: back to SCHED_RR at RTRequestedPriority. Any other mode: normal
// scheduling (SCHED_OTHER, priority 0). Does nothing, whatever the mode, in a
// process that never asked for a real-time priority. Exit status 8 when the
// system refuses.
void SwitchRTScheduling(int mode);
