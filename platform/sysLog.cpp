// System log stand-in: the host's syslog(3), mirrored on standard error while
// the runtime's Syslogtodebug flag is set.
#include "sysLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

// Owned by the runtime's trace channel; the log service only reads it.
extern volatile unsigned char Syslogtodebug;

namespace {

int priorityFor(ERR_SEVERITY_ENUM severity) {
    switch (severity) {
    case ERR_SEVERITY_ERROR:
        return LOG_ERR;
    case ERR_SEVERITY_PROBLEM:
        return LOG_WARNING;
    default:
        return LOG_INFO;
    }
}

} // namespace

void SysLog(ERR_SEVERITY_ENUM severity, ERR_NUM_ENUM error, const char* file, unsigned long line,
            const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    const char* where = file != nullptr ? file : "?";
    syslog(LOG_USER | priorityFor(severity), "%s@%lu: severity %d error %d: %s", where, line,
           static_cast<int>(severity), static_cast<int>(error), message);
    if (Syslogtodebug != 0) {
        std::fprintf(stderr, "SysLog %s@%lu: severity %d error %d: %s\n", where, line,
                     static_cast<int>(severity), static_cast<int>(error), message);
        std::fflush(stderr);
    }
}
