// Trace channel: verbosity switches and signals, and the delivery of trace
// lines to the debug server's pipe or to standard output.
#include "debug.h"

#include "debugInternal.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

volatile unsigned char DebugLevel = 0;
volatile unsigned char DebugLevel_IV = 0;
volatile unsigned char Syslogtodebug = 0;

namespace {

const char* const kModule = "debug";
const char* const kDebugPipe = "/var/run/debugpipe";
const unsigned long kLineSigusr1 = 185;
const unsigned long kLineSigusr2 = 192;

const char* const kHeaderFormat = "%02d-%02d-%04d %02d:%02d:%02d :  pid (%d)";
// A line's prefix is "%s %i  %i  %s@%ld:" of header, severity, error number,
// file and line, composed by hand (composePrefix) because it is made for
// every line; after dropped lines the pipe line begins with kLostData.
const char* const kLostData = "LOSTDATA!\n";

// Each notice is printed by one stdio call, which holds the stream's lock for
// the whole of it: a line of its own.
const char* const kNoServerNotice = "Debug server is not running. Using printf() for debug o/p.\n";
constexpr char kOpenFailedNotice[] = "The debug pipe /var/run/debugpipe could not be opened "
                                     "(error:%s. No problem. Using printf() for debug.\n";
const char* const kDropNotice = "REMOVE ME! Dropping debug string as write pipe is full!\n";
const char* const kServerGoneNotice = "Debug server closed the debug pipe. Using printf() for "
                                      "debug o/p.\n";

// Pipe lines are one atomic write each, so a line must stay within PIPE_BUF.
const std::size_t kPipeLineSize = 1024;
const std::size_t kHeaderSize = 50;

// -1: pipe not tried yet; 0: standard-output mode; above 0: the open pipe.
const int kNotTried = -1;
const int kStdoutMode = 0;
std::atomic<int> pipeFd{kNotTried};
std::atomic<bool> lostData{false};
const char* pipePath = kDebugPipe;
SigactionFn installHandler = ::sigaction;

// The handlers change the level bytes with the compiler's atomic builtins,
// which must need no lock to be usable in a signal handler.
static_assert(__atomic_always_lock_free(sizeof DebugLevel, nullptr));

// Lowers *LEVEL by one in one atomic step unless it is 0; false when it was 0.
bool lowerAboveZero(volatile unsigned char* level) {
    unsigned char seen = __atomic_load_n(level, __ATOMIC_RELAXED);
    while (seen > 0) {
        if (__atomic_compare_exchange_n(level, &seen, static_cast<unsigned char>(seen - 1), false,
                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            return true;
    }
    return false;
}

// Level signals may arrive on several threads at once, so every change is
// one atomic step on one byte and no update is lost. SIGUSR2 chooses its
// byte by what DebugLevel holds when it looks; a SIGUSR1 on another thread
// between that look and the step on DebugLevel_IV leaves the levels as if the
// SIGUSR2 had come first.
void levelHandler(int signal) {
    if (signal == SIGUSR1) {
        __atomic_fetch_add(&DebugLevel, 1, __ATOMIC_RELAXED); // 255 wraps to 0
    } else if (signal == SIGUSR2) {
        if (!lowerAboveZero(&DebugLevel))
            lowerAboveZero(&DebugLevel_IV);
    }
}

void installLevelHandler(int signal, unsigned long line, const char* message) {
    struct sigaction action {};
    action.sa_handler = levelHandler;
    // Neither level handler interrupts the other on the same thread.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGUSR1);
    sigaddset(&action.sa_mask, SIGUSR2);
    action.sa_flags = SA_RESTART;
    if (installHandler(signal, &action, nullptr) != 0) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INSTALL_SIGNAL_HANDLER, kModule, line, "%s", message);
        abort();
    }
}

// The process id, asked of the system once per process: a child made by
// fork() starts with it cleared.
std::atomic<pid_t> cachedPid{0};

void forgetPid() {
    cachedPid = 0;
}

pid_t processId() {
    pid_t pid = cachedPid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, forgetPid);
        (void)registered;
        pid = getpid();
        cachedPid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

// The header changes once a second; each thread keeps the last one it made.
void formatHeader(char (&header)[kHeaderSize]) {
    thread_local time_t madeAt = -1;
    thread_local pid_t madeFor = 0;
    thread_local char made[kHeaderSize];
    time_t now = time(nullptr);
    pid_t pid = processId();
    if (now != madeAt || pid != madeFor) {
        struct tm local {};
        localtime_r(&now, &local);
        snprintf(made, sizeof made, kHeaderFormat, local.tm_mday, local.tm_mon + 1,
                 local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<int>(pid));
        madeAt = now;
        madeFor = pid;
    }
    std::memcpy(header, made, sizeof made);
}

char* put(char* at, char* end, const char* text) {
    while (*text != '\0' && at < end)
        *at++ = *text++;
    return at;
}

char* putNumber(char* at, char* end, long value) {
    char digits[24];
    char* first = digits + sizeof digits;
    unsigned long magnitude =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        *--first = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *--first = '-';
    while (first < digits + sizeof digits && at < end)
        *at++ = *first++;
    return at;
}

// Writes the line prefix into out (at most size - 1 characters, NUL-terminated)
// and returns its length.
std::size_t composePrefix(char* out, std::size_t size, bool lost, const char* header,
                          ERR_SEVERITY_ENUM severity, ERR_NUM_ENUM error, const char* file,
                          unsigned long line) {
    char* end = out + size - 1;
    char* at = lost ? put(out, end, kLostData) : out;
    at = put(at, end, header);
    at = put(at, end, " ");
    at = putNumber(at, end, severity);
    at = put(at, end, "  ");
    at = putNumber(at, end, error);
    at = put(at, end, "  ");
    at = put(at, end, file);
    at = put(at, end, "@");
    at = putNumber(at, end, static_cast<long>(line));
    at = put(at, end, ":");
    *at = '\0';
    return static_cast<std::size_t>(at - out);
}

// Opens the pipe on the first call of the process; afterwards returns what
// that first call decided.
int channel() {
    int fd = pipeFd.load();
    if (fd != kNotTried)
        return fd;
    int opened = open(pipePath, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    int err = errno;
    // Only a FIFO has a debug server behind it; a regular file or a device at
    // the pipe's path is never written, as if nobody read the pipe.
    struct stat st {};
    if (opened >= 0 && (fstat(opened, &st) != 0 || !S_ISFIFO(st.st_mode))) {
        close(opened);
        opened = -1;
        err = ENXIO;
    }
    if (opened == 0) {
        // Descriptor 0 means standard-output mode; keep the pipe above it.
        int moved = fcntl(opened, F_DUPFD_CLOEXEC, 1);
        err = errno;
        close(opened);
        opened = moved;
    }
    int decided = opened > 0 ? opened : kStdoutMode;
    int expected = kNotTried;
    if (!pipeFd.compare_exchange_strong(expected, decided)) {
        // Another thread decided first.
        if (opened > 0)
            close(opened);
        return expected;
    }
    if (decided == kStdoutMode) {
        if (err == ENXIO)
            fputs(kNoServerNotice, stdout);
        else
            printf(kOpenFailedNotice, strerror(err));
    }
    return decided;
}

// One write of the whole line with SIGPIPE held off, so that a debug server
// that has gone away costs an EPIPE instead of the process. The process's own
// SIGPIPE disposition and mask are left as they were, and a SIGPIPE that this
// write raised is taken back, unless one was pending before (only possible
// while the thread blocks SIGPIPE itself).
ssize_t writeWithoutSigpipe(int fd, const char* data, std::size_t size, int& err) {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
    bool wasBlocked = sigismember(&old, SIGPIPE) == 1;
    bool wasPending = false;
    if (wasBlocked) {
        sigset_t pending;
        sigpending(&pending);
        wasPending = sigismember(&pending, SIGPIPE) == 1;
    }
    ssize_t written = write(fd, data, size);
    err = errno;
    if (written < 0 && err == EPIPE && !wasPending) {
        struct timespec zero {};
        while (sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    if (!wasBlocked)
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return written;
}

void unlockStdout(void*) {
    funlockfile(stdout);
}

// One whole line on standard output, however long: the stream stays locked
// from the prefix to the flush, so that no other thread's line or notice lands
// inside it. A thread cancelled in the flush's write still unlocks it.
__attribute__((format(printf, 2, 0))) void printLine(const char* prefix, const char* format,
                                                     va_list args) {
    flockfile(stdout);
    pthread_cleanup_push(unlockStdout, nullptr);
    fputs(prefix, stdout);
    vprintf(format, args);
    fputc('\n', stdout);
    fflush(stdout);
    pthread_cleanup_pop(1);
}

} // namespace

void debugResetChannel(const char* path) {
    // Kept as a copy, so that the caller's string may go away.
    static std::string copy;
    if (path != nullptr) {
        copy = path;
        pipePath = copy.c_str();
    } else {
        pipePath = kDebugPipe;
    }
    int fd = pipeFd.exchange(kNotTried);
    if (fd > 0)
        close(fd);
    lostData = false;
}

void debugSetSigaction(SigactionFn fn) {
    installHandler = fn != nullptr ? fn : ::sigaction;
}

void InstallDebug(long argc, char** argv) {
    for (long i = 1; argv != nullptr && i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr)
            continue;
        if (strcmp(arg, "-v") == 0)
            DebugLevel = static_cast<unsigned char>(DebugLevel + 1);
        if (strcmp(arg, "-V") == 0)
            DebugLevel_IV = static_cast<unsigned char>(DebugLevel_IV + 1);
        if (strcmp(arg, "--syslogtodebug") == 0) {
            Syslogtodebug = 1;
            puts("Redirecting all SysLog() to stderr.");
        }
    }
    if (DebugLevel != 0)
        printf("Increasing debug verbosity level to %i.\n", DebugLevel);
    if (DebugLevel_IV != 0 || DebugLevel > 3)
        puts("Turning on special debug level IV.");

    installLevelHandler(SIGUSR1, kLineSigusr1,
                        "Could Not install signal handler for sigusr1 (increase DebugLevel).");
    installLevelHandler(SIGUSR2, kLineSigusr2,
                        "Could Not install signal handler for sigusr2 (decrease DebugLevel).");
}

void DebugLog(ERR_SEVERITY_ENUM severity, ERR_NUM_ENUM error, const char* file, unsigned long line,
              const char* format, ...) {
    char header[kHeaderSize];
    formatHeader(header);
    const char* where = file != nullptr ? file : "";

    int fd = channel();
    va_list args;
    va_start(args, format);
    if (fd == kStdoutMode) {
        char prefix[kPipeLineSize];
        composePrefix(prefix, sizeof prefix, false, header, severity, error, where, line);
        printLine(prefix, format, args);
        va_end(args);
        return;
    }

    // Compose the whole line; a text too long for one atomic write is cut,
    // and the line still ends with its newline.
    char buffer[kPipeLineSize];
    bool lost = lostData.exchange(false);
    std::size_t length =
        composePrefix(buffer, sizeof buffer - 1, lost, header, severity, error, where, line);
    va_list copy;
    va_copy(copy, args);
    int text = vsnprintf(buffer + length, sizeof buffer - 1 - length, format, copy);
    va_end(copy);
    if (text > 0)
        length += std::min(static_cast<std::size_t>(text), sizeof buffer - 2 - length);
    buffer[length++] = '\n';

    int err = 0;
    ssize_t written = writeWithoutSigpipe(fd, buffer, length, err);
    if (written < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
        lostData = true;
        fputs(kDropNotice, stdout);
        fflush(stdout);
    } else if (written < 0 && err == EPIPE) {
        // The debug server has gone: this line and all later ones go to
        // standard output. The dead pipe stays open; it is never reused.
        int expected = fd;
        if (pipeFd.compare_exchange_strong(expected, kStdoutMode))
            fputs(kServerGoneNotice, stdout);
        char prefix[kPipeLineSize];
        composePrefix(prefix, sizeof prefix, false, header, severity, error, where, line);
        printLine(prefix, format, args);
    }
    va_end(args);
}
