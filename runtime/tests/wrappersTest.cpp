// The checked wrappers through their seam, whose fakes fail calls and count accept pauses.
#include "wrappers.h"
#include "runtimeTestSupport.h"
#include "wrappersOs.h"

#include <netinet/in.h>

char c[] = "c", buffer[8];         // the caller's file goes in as char*
timeval zero;                      // no wait
int calls, failures, failWith;     // calls through the seam; how many of the first fail, with what
std::vector<int> acceptErrors;     // errno of each failing accept(), then it accepts (descriptor 0)
std::vector<unsigned int> lengths; // accept()'s length in
long slept;                        // milliseconds, through nanosleep()

// Seam entry M: the real call after `failures` failing ones. errno is cleared for a call after
// a success, so that a wrapper that repeats a success ends its loop and shows in the count.
template <auto... M> void failFirst() {
    ((wrappersOs().*M =
          [](auto... args) {
              auto call = realWrappersOs().*M;
              using Result = decltype(call(args...));
              if (++calls > failures) {
                  errno = failures > 0 && calls > failures + 1 ? 0 : errno;
                  return call(args...);
              }
              errno = failWith;
              return Result(std::intptr_t(std::is_pointer_v<Result> ? 0 : -1));
          }),
     ...);
}

// ACcept, or ACceptWithTimeOut when given a time-out of -1 or more.
int acceptNow(int timeout = -2) {
    sockaddr peer{};
    unsigned int length = 0;
    return timeout < -1 ? ACcept(3, &peer, &length, c, 9)
                        : ACceptWithTimeOut(3, &peer, &length, timeout, c, 9);
}

struct Wrappers : RuntimeTest {
    Wrappers() {
        using W = WrappersOs;
        failFirst<&W::system, &W::select, &W::open, &W::close, &W::read, &W::write, &W::malloc,
                  &W::realloc, &W::time, &W::socket, &W::bind, &W::listen>();
        wrappersOs().accept = [](int, sockaddr*, socklen_t* length) { // scribbles as the kernel may
            lengths.push_back(std::exchange(*length, 3));
            std::size_t call = std::size_t(calls++);
            return call < acceptErrors.size() ? (errno = acceptErrors[call], -1) : 0;
        };
        // A signal cuts each sleep of 0.2 s or more short, half of it less 0.1 s left.
        wrappersOs().nanosleep = [](const timespec* asked, timespec* left) {
            long ms = asked->tv_sec * 1000 + asked->tv_nsec / 1000000;
            *left = {0, (ms >= 200 ? ms / 2 - 100 : 0) * 1000000};
            slept += ms - left->tv_nsec / 1000000;
            return left->tv_nsec > 0 ? (errno = EINTR, -1) : 0;
        };
        calls = failures = errno = 0;
        failWith = EINTR;
    }
    ~Wrappers() override { wrappersOs() = realWrappersOs(); }
};
using WrappersDeathTest = Wrappers;

// "E" in a message stands for the text of EIO.
TEST_F(WrappersDeathTest, FailuresLogOneRecordAndAbort) {
    failures = 1;
    failWith = EIO;
    const struct {
        std::function<void()> call;
        const char* where;
        std::string message;
        int error = 0;
    } cases[] = {
        {[] { SYstem("true", c, 1); }, "wrappers@199", "System(..) call failed. err = E", 62},
        {[] { failures = 0, SElect(LONG_MAX, nullptr, &zero, c, 2); }, "wrappers@233",
         "select() failed giving error (Invalid argument) (called from c@2)"},
        {[] { OPen("p", O_RDONLY, c, 3); }, "c@3", "open() of p failed. Error=E."},
        {[] { CLose(5, c, 4); }, "c@4", "close(..) failed. Error=E."},
        {[] { REad(5, buffer, 4, c, 5); }, "c@5", "read() failed. Error=\"E\"."},
        {[] { WRite(5, buffer, -1, c, 6); }, "c@6", "write() failed. Error=\"Invalid argument\"."},
        // Short once: a second write would finish, but must not be made.
        {[] {
             wrappersOs().write = [](int, const void*, size_t n) { return ssize_t(n - !calls++); };
             WRite(5, buffer, 4, c, 7);
         },
         "c@7", "write() failed. Error=\""},
        // Allocations are not tried again after EINTR.
        {[] { failWith = EINTR, MAlloc(16, c, 8); }, "c@8",
         "malloc() failed. Error=\"Interrupted system call\"."},
        {[] { REalloc(nullptr, 16, c, 9); }, "c@9", "realloc() failed. Error=\"E\"."},
        {[] { TIme(nullptr, c, 10); }, "c@10", "time() failed. Error=\"E\"."},
        {[] { SOcket(AF_INET, SOCK_STREAM, 0, c, 11); }, "wrappers@489", "E (called from c@11)"},
        {[] { BInd(5, nullptr, 0, c, 12); }, "wrappers@511", "E (called from c@12)"},
        {[] { LIsten(5, 1, c, 13); }, "wrappers@530", "E (called from c@13)"},
        {[] { acceptErrors.assign(7, EMFILE), acceptNow(); }, "wrappers@573",
         "Too many open files (called from c@9)"},
    };
    for (const auto& [call, where, message, error] : cases) {
        std::string record = std::string("SysLog ") + where + ": severity 0 error " +
                             std::to_string(error) + ": " + message;
        record = std::regex_replace(record, std::regex("\\bE\\b"), std::strerror(EIO));
        EXPECT_EXIT(call(), testing::KilledBySignal(SIGABRT),
                    std::regex_replace(record, std::regex("[()|.*+?^$\\[\\]{}]"), "\\$&"));
    }
}

// Two EINTR, then the real call (CLose takes EINTR as done), with descriptor 0 free for the
// first file and then the socket; REad's EAGAIN and ACceptWithTimeOut's giving up are quiet.
TEST_F(WrappersDeathTest, EintrIsRetriedUntilTheCallSucceeds) {
    int fds[2];
    ASSERT_TRUE(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) == 0 && write(fds[1], "x", 1) == 1);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fds[0], &set);
    TempDir dir;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    int server = -1;
    auto created = [&](const std::string& path, int flags) { // its descriptor if 0666 less umask
        struct stat info {};
        int fd = OPen(path.c_str(), O_RDWR | flags, c, 2);
        return fstat(fd, &info) == 0 && (info.st_mode & 0777) == 0640 ? fd : -1;
    };
    auto timeOut = [&] { SElect(fds[0] - 1, &set, &zero, c, 1); };
    const std::string timedOut = " 3  0  wrappers@225:Select Timed Out\n";
    close(STDIN_FILENO);
    DebugLevel = 2;
    const std::pair<int, std::function<bool()>> cases[] = {
        {4, [&] { return SYstem("true", c, 1) == 0 && SYstem("exit 1", c, 1) == 256; }},
        {3, [&] { return countOf(stdoutOf(timeOut), timedOut) == 1; }},
        {3, [&] { return created(dir.path(), O_TMPFILE) == 0; }},
        {3, [&] { return created(dir.file("f"), O_CREAT) > 0; }},
        {3, [&] { return WRite(fds[1], const_cast<char*>("wxyz"), 4, c, 3) == 4; }},
        {3, [&] { return WRite(STDIN_FILENO, buffer, 0, c, 3) == 0; }},
        {4, [&] { return REad(fds[0], buffer, 3, c, 4) == 3 && buffer == std::string("xwx"); }},
        {4,
         [&] {
             return write(fds[1], "ab", 2) == 2 && close(fds[1]) == 0 &&
                    REad(fds[0], buffer, 8, c, 5) == 2;
         }},
        {3, [&] { return close(0) == 0 && (server = SOcket(AF_INET, SOCK_STREAM, 0, c, 6)) == 0; }},
        {3, [&] { return BInd(server, reinterpret_cast<sockaddr*>(&any), sizeof any, c, 7) == 0; }},
        {3, [&] { return LIsten(server, 1, c, 8) == 0; }},
        {1, [&] { return CLose(fds[0], c, 9) == 0; }},
        {1,
         [&] {
             failures = errno = 0;
             return CLose(server, c, 10) == 0;
         }},
    };
    mode_t oldMask = umask(027);
    for (const auto& [expected, call] : cases) {
        calls = 0;
        failures = 2;
        EXPECT_TRUE(call() && calls == expected) << &call - &cases[0].second;
    }
    umask(oldMask);
    acceptErrors.assign(9, EMFILE);
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0); // empty
    EXPECT_EXIT(_exit(acceptNow(0) == -1 && REad(fds[0], buffer, 4, c, 1) == 0 ? 0 : 1),
                testing::ExitedWithCode(0), "^$");
}

// ECONNABORTED and EINTR are not counted; the length is stored again before every attempt but
// the one after EINTR. The pauses are whole seconds however often a signal cuts them short.
TEST_F(Wrappers, AcceptCountsFailuresAndGivesUpAfterItsTimeOut) {
    const int M = EMFILE, A = ECONNABORTED, I = EINTR;
    const std::tuple<int, std::vector<int>, int, unsigned> cases[] = {
        {0, std::vector<int>(9, M), -1, 1},         {3, std::vector<int>(4, M), 0, 4},
        {-1, std::vector<int>(9, M), -1, 0},        {255, std::vector<int>(600, M), 0, 600},
        {-2, {A, M, I, M, A, M, M, I, M, M}, 0, 0}, // ACcept, the lengths checked below
    };
    for (const auto& [timeout, errors, result, pauseCount] : cases) {
        calls = 0;
        acceptErrors = errors;
        lengths.clear();
        slept = 0;
        EXPECT_EQ(acceptNow(timeout), result);
        EXPECT_EQ(slept, 1000 * pauseCount) << timeout;
    }
    EXPECT_EQ(lengths, (std::vector<unsigned>{16, 16, 16, 3, 16, 16, 16, 16, 3, 16, 16}));
}

// A second is borrowed when END's microseconds are the smaller; a difference too large wraps.
TEST(DiffTime, BorrowsASecondAndWrapsRound) {
    timeval wrapped{}, even{};
    DiffTime({1, 1}, {LONG_MIN, LONG_MIN}, &wrapped);
    DiffTime({10, 500}, {12, 500}, &even);
    EXPECT_EQ(std::tuple(wrapped.tv_sec, wrapped.tv_usec, even.tv_sec, even.tv_usec),
              std::tuple(LONG_MAX - 1, LONG_MIN + 999999, 2L, 0L));
}
