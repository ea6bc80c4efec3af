// Seams of the trace channel for tests. Internal: never exported.
#pragma once

#include <signal.h>

// Points the channel at another pipe path and forgets any pipe already
// opened, so that the next DebugLog tries again. Null restores the fixed path.
void debugResetChannel(const char* pipePath);

// The sigaction() that InstallDebug calls; tests make it fail.
using SigactionFn = int (*)(int, const struct sigaction*, struct sigaction*);
void debugSetSigaction(SigactionFn fn);
