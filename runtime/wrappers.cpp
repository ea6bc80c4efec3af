// Checked system calls: EINTR is retried, any other failure is logged and
// ends the process.
#include "wrappers.h"

#include "debug.h"
#include "wrappersOs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

const char* const kModule = "wrappers";
// The fixed lines of the records that do not name the caller's location.
const unsigned long kLineSystem = 199;
const unsigned long kLineSelectTimedOut = 225;
const unsigned long kLineSelect = 233;
const unsigned long kLineSocket = 489;
const unsigned long kLineBind = 511;
const unsigned long kLineListen = 530;
const unsigned long kLineAccept = 573;

// The trace level at which SElect reports a time-out.
const unsigned char kSelectTraceLevel = 2;
// Mode of a file that OPen creates, before the umask narrows it.
const mode_t kCreateMode = 0666;
// The size of an IPv4 socket address, handed to accept() as the address length.
const unsigned int kAcceptAddressLength = 16;
// ACcept's failure counter above which a counted failure is fatal: the
// seventh counted failure ends the process.
const unsigned char kAcceptFatalAbove = 5;
// ACceptWithTimeOut's pause after a counted failure.
const time_t kAcceptPauseSeconds = 1;
// What DiffTime's borrowed second adds to the microseconds.
const unsigned long kMicrosecondsPerSecond = 1000000;

// Printable form of a caller-supplied text that may be null.
const char* shown(const char* text) {
    return text != nullptr ? text : "(null)";
}

int realOpen(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

const WrappersOs kRealOs = {
    ::system,  ::select, realOpen, ::close, ::read,   ::write,  ::malloc,
    ::realloc, ::time,   ::socket, ::bind,  ::listen, ::accept, ::nanosleep,
};

WrappersOs currentOs = kRealOs;

// Creation flags that make open() read its mode argument.
bool createsFile(int flags) {
    if ((flags & O_CREAT) != 0)
        return true;
#ifdef O_TMPFILE
    if ((flags & O_TMPFILE) == O_TMPFILE)
        return true;
#endif
    return false;
}

// Makes the call again at once for as long as it fails with EINTR.
template <typename Call> auto retryInterrupted(Call call) {
    for (;;) {
        auto result = call();
        if (!(result < 0 && errno == EINTR))
            return result;
    }
}

// The fatal record of the wrappers that log at a line of their own and name
// their caller after "called from".
[[noreturn]] void dieCalledFrom(unsigned long fixedLine, const char* file, unsigned long line) {
    SysLog(ERR_SEVERITY_ERROR, ERR_NONE, kModule, fixedLine, "%s (called from %s@%ld)",
           std::strerror(errno), shown(file), static_cast<long>(line));
    abort();
}

// Steps 2 to 5 of both accept wrappers: stores the address length and calls
// accept(), calling it again at once on EINTR (without storing the length
// again) and starting over on ECONNABORTED. Returns the new descriptor, or -1
// with errno set by a failure that counts.
int acceptUntilCounted(int socket, sockaddr* address, unsigned int* addressLength) {
    for (;;) {
        if (addressLength != nullptr)
            *addressLength = kAcceptAddressLength;
        int fd = retryInterrupted([&] { return currentOs.accept(socket, address, addressLength); });
        if (fd >= 0)
            return fd;
        if (errno != ECONNABORTED)
            return -1;
    }
}

// Sleeps the whole pause: a signal that interrupts the sleep (the level
// signals do, SA_RESTART or not) shortens nothing; the rest is slept after it.
void pauseBeforeNextAccept() {
    timespec left{kAcceptPauseSeconds, 0};
    while (currentOs.nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// select()'s descriptor count: HIGHEST + 1 where that is an int, otherwise -1,
// which select() refuses with EINVAL as it refuses the INT_MIN that LONG_MAX + 1
// wraps to on the analyser.
int descriptorCount(long highest) {
    int count = 0;
    return __builtin_add_overflow(highest, 1, &count) ? -1 : count;
}

} // namespace

WrappersOs& wrappersOs() {
    return currentOs;
}

const WrappersOs& realWrappersOs() {
    return kRealOs;
}

int SYstem(char const* command, char* /*file*/, unsigned long /*line*/) {
    int status = retryInterrupted([&] { return currentOs.system(command); });
    if (status < 0) {
        SysLog(ERR_SEVERITY_ERROR, ERR_SYSTEM_CALL, kModule, kLineSystem,
               "System(..) call failed. err = %s", std::strerror(errno));
        abort();
    }
    return status;
}

int SElect(long highest, fd_set* readSet, timeval* timeout, char const* file, unsigned long line) {
    int ready = retryInterrupted([&] {
        return currentOs.select(descriptorCount(highest), readSet, nullptr, nullptr, timeout);
    });
    if (ready < 0) {
        SysLog(ERR_SEVERITY_ERROR, ERR_NONE, kModule, kLineSelect,
               "select() failed giving error (%s) (called from %s@%ld)", std::strerror(errno),
               shown(file), static_cast<long>(line));
        abort();
    }
    if (ready == 0 && __atomic_load_n(&DebugLevel, __ATOMIC_RELAXED) >= kSelectTraceLevel)
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineSelectTimedOut, "Select Timed Out");
    return ready;
}

int OPen(char const* path, long flags, char* file, unsigned long line) {
    int openFlags = static_cast<int>(flags);
    mode_t mode = createsFile(openFlags) ? kCreateMode : 0;
    int fd = retryInterrupted([&] { return currentOs.open(path, openFlags, mode); });
    if (fd < 0) {
        SysLog(ERR_SEVERITY_ERROR, ERR_NONE, file, line, "open() of %s failed. Error=%s.",
               shown(path), std::strerror(errno));
        abort();
    }
    return fd;
}

int CLose(long fd, char* file, unsigned long line) {
    // Not retried on EINTR: the descriptor is already released, and closing it
    // again could close one that another thread has just opened.
    if (currentOs.close(static_cast<int>(fd)) < 0 && errno != EINTR) {
        SysLog(ERR_SEVERITY_ERROR, ERR_NONE, file, line, "close(..) failed. Error=%s.",
               std::strerror(errno));
        abort();
    }
    return 0;
}

int REad(long fd, void* buffer, unsigned int count, char* file, unsigned long line) {
    char* bytes = static_cast<char*>(buffer);
    unsigned int done = 0;
    for (;;) {
        unsigned int missing = count - done;
        ssize_t got = currentOs.read(static_cast<int>(fd), bytes + done, missing);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            SysLog(ERR_SEVERITY_ERROR, ERR_NONE, file, line, "read() failed. Error=\"%s\".",
                   std::strerror(errno));
            abort();
        }
        if (static_cast<size_t>(got) >= missing)
            return static_cast<int>(count);
        if (got == 0) // end of file before the count arrived
            return static_cast<int>(done);
        done += static_cast<unsigned int>(got);
    }
}

int WRite(long fd, void* buffer, int count, char* file, unsigned long line) {
    ssize_t written = -1;
    if (count < 0) {
        // A negative count would reach write() as a huge size.
        errno = EINVAL;
    } else {
        written = retryInterrupted([&] {
            return currentOs.write(static_cast<int>(fd), buffer, static_cast<size_t>(count));
        });
    }
    if (written < 0 || written < count) {
        SysLog(ERR_SEVERITY_ERROR, ERR_NONE, file, line, "write() failed. Error=\"%s\".",
               std::strerror(errno));
        abort();
    }
    return static_cast<int>(written);
}

void* MAlloc(unsigned int size, char* file, unsigned long line) {
    void* block = currentOs.malloc(size);
    if (block == nullptr) {
        SysLog(ERR_SEVERITY_ERROR, ERR_NONE, file, line, "malloc() failed. Error=\"%s\".",
               std::strerror(errno));
        abort();
    }
    return block;
}

void* REalloc(void* block, unsigned int size, char* file, unsigned long line) {
    void* resized = currentOs.realloc(block, size);
    if (resized == nullptr) {
        SysLog(ERR_SEVERITY_ERROR, ERR_NONE, file, line, "realloc() failed. Error=\"%s\".",
               std::strerror(errno));
        abort();
    }
    return resized;
}

long TIme(long* seconds, char* file, unsigned long line) {
    time_t now;
    do {
        now = currentOs.time(nullptr);
    } while (now == static_cast<time_t>(-1) && errno == EINTR);
    if (now == static_cast<time_t>(-1)) {
        SysLog(ERR_SEVERITY_ERROR, ERR_NONE, file, line, "time() failed. Error=\"%s\".",
               std::strerror(errno));
        abort();
    }
    if (seconds != nullptr)
        *seconds = static_cast<long>(now);
    return static_cast<long>(now);
}

int SOcket(int domain, int type, int protocol, char const* file, unsigned long line) {
    int fd = retryInterrupted([&] { return currentOs.socket(domain, type, protocol); });
    if (fd < 0)
        dieCalledFrom(kLineSocket, file, line);
    return fd;
}

int BInd(int socket, sockaddr* address, int addressLength, char const* file, unsigned long line) {
    int result = retryInterrupted(
        [&] { return currentOs.bind(socket, address, static_cast<socklen_t>(addressLength)); });
    if (result < 0)
        dieCalledFrom(kLineBind, file, line);
    return 0;
}

int LIsten(int socket, int backlog, char const* file, unsigned long line) {
    int result = retryInterrupted([&] { return currentOs.listen(socket, backlog); });
    if (result < 0)
        dieCalledFrom(kLineListen, file, line);
    return 0;
}

int ACcept(int socket, sockaddr* address, unsigned int* addressLength, char const* file,
           unsigned long line) {
    unsigned char failures = 0;
    for (;;) {
        int fd = acceptUntilCounted(socket, address, addressLength);
        if (fd >= 0)
            return fd;
        if (failures > kAcceptFatalAbove)
            dieCalledFrom(kLineAccept, file, line);
        ++failures;
    }
}

int ACceptWithTimeOut(int socket, sockaddr* address, unsigned int* addressLength, int timeout,
                      char const* /*file*/, unsigned long /*line*/) {
    unsigned char failures = 0;
    for (;;) {
        int fd = acceptUntilCounted(socket, address, addressLength);
        if (fd >= 0)
            return fd;
        if (static_cast<int>(failures) > timeout)
            return -1;
        failures = static_cast<unsigned char>(failures + 1); // 255 wraps to 0
        pauseBeforeNextAccept();
    }
}

void DiffTime(timeval start, timeval end, timeval* result) {
    if (result == nullptr)
        return;
    // Computed unsigned, so that extreme inputs wrap instead of overflowing.
    auto seconds = static_cast<std::make_unsigned_t<time_t>>(end.tv_sec) -
                   static_cast<std::make_unsigned_t<time_t>>(start.tv_sec);
    auto micros = static_cast<std::make_unsigned_t<suseconds_t>>(end.tv_usec) -
                  static_cast<std::make_unsigned_t<suseconds_t>>(start.tv_usec);
    if (end.tv_usec < start.tv_usec) {
        seconds -= 1;
        micros += kMicrosecondsPerSecond;
    }
    result->tv_sec = static_cast<time_t>(seconds);
    result->tv_usec = static_cast<suseconds_t>(micros);
}
