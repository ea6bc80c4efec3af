// The trace channel of the process runtime.
//
// Verbosity lives in three one-byte globals that every tracing module tests
// before it calls DebugLog; DebugLog itself never tests a level. The levels
// are raised by "-v"/"-V" on the command line and, at run time, by SIGUSR1
// (up) and SIGUSR2 (down), each change one atomic step on its byte; the
// runtime reads them with relaxed atomic loads.
//
// Trace lines go to the debug server through the named pipe
// "/var/run/debugpipe", one non-blocking write per line: a full pipe drops the
// line (and the next delivered line is preceded by "LOSTDATA!") instead of
// stalling the caller. When the pipe cannot be opened, or what is at its path
// is no FIFO (and so never written), lines go to standard output instead. A
// debug server that goes away while a process writes does not end the
// process: its lines then go to standard output.
#pragma once

#include "export.h"
#include "sysLog.h"

// Trace level: 0 = off; ordinary traces at 1 and above.
RUNTIME_EXPORT extern volatile unsigned char DebugLevel;
// Extra switch for the most detailed traces ("special debug level IV").
RUNTIME_EXPORT extern volatile unsigned char DebugLevel_IV;
// Nonzero: the system log also writes every record on standard error.
RUNTIME_EXPORT extern volatile unsigned char Syslogtodebug;

// Reads the verbosity switches ("-v", "-V", "--syslogtodebug") and installs
// the SIGUSR1/SIGUSR2 level handlers. Aborts when a handler cannot be installed.
RUNTIME_EXPORT void InstallDebug(long argc, char** argv);

// Writes one trace line: time stamp, process id, severity, error number,
// file@line and the caller's text. Threads may call it at once; each call is
// one whole line in the pipe or on standard output. It is not
// async-signal-safe: a signal handler that calls it while the interrupted
// thread is inside it can hang on a lock that the interrupted call holds (of
// the local time conversion, the allocator or standard output).
RUNTIME_EXPORT void DebugLog(ERR_SEVERITY_ENUM severity, ERR_NUM_ENUM error, const char* file,
                             unsigned long line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// True when the "special debug level IV" traces are on.
inline bool debugLevelIV() {
    return __atomic_load_n(&DebugLevel_IV, __ATOMIC_RELAXED) != 0 ||
           __atomic_load_n(&DebugLevel, __ATOMIC_RELAXED) >= 4;
}
