// The platform's system log service.
//
// Every record is handed to the host's system log (syslog(3)) before SysLog
// returns, and, while the runtime's Syslogtodebug flag is nonzero, also
// written as one line on standard error. Callers rely on the record being
// out by the time SysLog returns: fatal paths abort() right after it. SysLog
// is not async-signal-safe: a signal handler that calls it while the
// interrupted thread is inside it can hang on the system log's lock.
#pragma once

#include <cstdint>

// Severities: 0 error, 1 problem that processing survives, 3 trace line.
enum ERR_SEVERITY_ENUM : std::int32_t {
    ERR_SEVERITY_ERROR = 0,
    ERR_SEVERITY_PROBLEM = 1,
    ERR_SEVERITY_TRACE = 3,
};

// Platform error numbers. Only the ones this program passes are named; any
// other value of the platform's numbering may be carried by a cast.
enum ERR_NUM_ENUM : std::int32_t {
    ERR_NONE = 0,
    ERR_INSTALL_SIGNAL_HANDLER = 3,
    ERR_INVALID_DATA = 42,
    ERR_SYSTEM_CALL = 62,
    ERR_DB_LIST = 106,
};

void SysLog(ERR_SEVERITY_ENUM severity, ERR_NUM_ENUM error, const char* file, unsigned long line,
            const char* format, ...) __attribute__((format(printf, 5, 6)));
