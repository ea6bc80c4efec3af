// The trace channel of the process runtime.
//
// Verbosity lives in three one-byte globals that every tracing module tests
// before it calls DebugLog; DebugLog itself never tests a level. The levels
// are raised by "-v"/"-V" on the command line and, at run time, by SIGUSR1
// (up) and SIGUSR2 (down).
//
// Trace lines go to the debug server through the named pipe
// "/var/run/debugpipe", one non-blocking write per line: a full pipe drops the
// line (and the next delivered line is preceded by "LOSTDATA!") instead of
// stalling the caller. When the pipe cannot be opened, lines go to standard
// output instead. A debug server that goes away while a process writes does
// not end the process: its lines then go to standard output.
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
// file@line and the caller's text.
RUNTIME_EXPORT void DebugLog(ERR_SEVERITY_ENUM severity, ERR_NUM_ENUM error, const char* file,
                             unsigned long line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// True when the "special debug level IV" traces are on.
inline bool debugLevelIV() {
    return DebugLevel_IV != 0 || DebugLevel >= 4;
}
