// The checked system-call wrappers. Real descriptors where they fit; every call
// goes through the seam (wrappersOs), whose fakes fail the next calls on demand
// and count ACceptWithTimeOut's pauses instead of sleeping.
#include "wrappers.h"

#include "debug.h"
#include "debugInternal.h"
#include "wrappersOs.h"

#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace {

char caller[] = "caller.cpp"; // the wrappers take the caller's file as char*
char scratch[16];

// The severity-0 record at WHERE ("file@line"), as a regular expression.
std::string record(const std::string& where, int error, const std::string& message) {
    std::string pattern;
    for (char c :
         "SysLog " + where + ": severity 0 error " + std::to_string(error) + ": " + message)
        pattern += (std::strchr("\\^$.|?*+()[]{}", c) != nullptr ? "\\" : "") + std::string(1, c);
    return pattern;
}

int calls = 0;    // calls through the seam
int failures = 0; // how many of the next calls fail with failWith
int failWith = EINTR;
std::vector<int> acceptScript;                 // errno of each failing accept()
std::vector<unsigned int> lengthsSeen, pauses; // accept()'s length in, nanosleep()'s seconds

// Seam entry M as the real call, except that it counts and fails while
// `failures` lasts.
template <auto... M> void failFirst() {
    ((wrappersOs().*M =
          [](auto... args) {
              auto call = realWrappersOs().*M;
              using Result = decltype(call(args...));
              ++calls;
              if (failures == 0)
                  return call(args...);
              --failures;
              errno = failWith;
              if constexpr (std::is_pointer_v<Result>)
                  return Result{};
              else
                  return Result(-1);
          }),
     ...);
}

// accept() failing with the errno values of acceptScript in turn, then
// accepting. Records the length it finds and scribbles on it as the kernel may.
const int kAcceptedFd = 42;
int acceptScripted(int, sockaddr*, socklen_t* length) {
    lengthsSeen.push_back(*length);
    *length = 3;
    std::size_t call = static_cast<std::size_t>(calls++);
    if (call >= acceptScript.size())
        return kAcceptedFd;
    errno = acceptScript[call];
    return -1;
}
// ACcept, or ACceptWithTimeOut when given a time-out.
int acceptNow(std::optional<int> timeout = std::nullopt) {
    sockaddr_storage peer{};
    unsigned int length = 0;
    auto* raw = reinterpret_cast<sockaddr*>(&peer);
    return timeout ? ACceptWithTimeOut(3, raw, &length, *timeout, caller, 91)
                   : ACcept(3, raw, &length, caller, 90);
}

class Wrappers : public ::testing::Test {
  protected:
    void SetUp() override {
        using W = WrappersOs;
        failFirst<&W::system, &W::select, &W::open, &W::close, &W::read, &W::write, &W::malloc,
                  &W::realloc, &W::time, &W::socket, &W::bind, &W::listen>();
        wrappersOs().accept = acceptScripted;
        wrappersOs().nanosleep = [](auto t, auto) { return pauses.push_back(t->tv_sec), 0; };
        calls = failures = 0, failWith = EINTR;
        acceptScript.clear(), lengthsSeen.clear(), pauses.clear();
        Syslogtodebug = 1; // records also reach standard error
    }
    void TearDown() override {
        wrappersOs() = realWrappersOs();
        Syslogtodebug = 0;
    }
};
using WrappersDeathTest = Wrappers;

// Both ends of a pipe, or of a socket pair of TYPE; ends still open are closed.
struct Fds {
    explicit Fds(int type = 0, int flags = 0) {
        EXPECT_EQ(type != 0 ? socketpair(AF_UNIX, type | flags, 0, fd) : pipe2(fd, flags), 0);
    }
    ~Fds() {
        for (int end : fd)
            if (end >= 0)
                ::close(end);
    }
    void put(const std::string& text) const {
        ASSERT_EQ(::write(fd[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    int fd[2] = {-1, -1};
};

TEST_F(WrappersDeathTest, FailuresLogOneRecordAndAbort) {
    failures = 1;
    failWith = EIO;
    const std::string e = std::strerror(EIO);
    auto failed = [](const char* call, int code = EIO) {
        return call + (" failed. Error=\"" + std::string(std::strerror(code))) + "\".";
    };
    auto from = [](int line, int code = EIO) {
        return std::strerror(code) + (" (called from caller.cpp@" + std::to_string(line)) + ")";
    };
    const struct {
        std::function<void()> call;
        std::string where;
        int error;
        std::string message;
    } cases[] = {
        {[] { SYstem("true", caller, 1); }, "wrappers@199", 62,
         "System(..) call failed. err = " + e},
        {[] { SElect(0, nullptr, nullptr, caller, 2); }, "wrappers@233", 0,
         "select() failed giving error (" + e + ") (called from caller.cpp@2)"},
        {[] { OPen("path", O_RDONLY, caller, 3); }, "caller.cpp@3", 0,
         "open() of path failed. Error=" + e + "."},
        {[] { CLose(5, caller, 4); }, "caller.cpp@4", 0, "close(..) failed. Error=" + e + "."},
        {[] { REad(5, scratch, 4, caller, 5); }, "caller.cpp@5", 0, failed("read()")},
        {[] { WRite(5, scratch, -1, caller, 7); }, "caller.cpp@7", 0, failed("write()", EINVAL)},
        // Short once: a second write would finish, but must not be made.
        {[] {
             wrappersOs().write = [](int, const void*, size_t n) { return ssize_t(n - !calls++); };
             WRite(5, scratch, 4, caller, 8);
         },
         "caller.cpp@8", 0, "write() failed. Error=\""},
        // Allocations are not tried again after EINTR.
        {[] { failWith = EINTR, MAlloc(16, caller, 9); }, "caller.cpp@9", 0,
         failed("malloc()", EINTR)},
        {[] { REalloc(nullptr, 16, caller, 10); }, "caller.cpp@10", 0, failed("realloc()")},
        {[] { TIme(nullptr, caller, 11); }, "caller.cpp@11", 0, failed("time()")},
        {[] { SOcket(AF_INET, SOCK_STREAM, 0, caller, 12); }, "wrappers@489", 0, from(12)},
        {[] { BInd(5, nullptr, 0, caller, 13); }, "wrappers@511", 0, from(13)},
        {[] { LIsten(5, 1, caller, 14); }, "wrappers@530", 0, from(14)},
        // The seventh counted failure; six are survived (ACceptCountsOnlyRealFailures).
        {[] { acceptScript.assign(7, EMFILE), acceptNow(); }, "wrappers@573", 0, from(90, EMFILE)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        EXPECT_EXIT(c.call(), ::testing::KilledBySignal(SIGABRT),
                    record(c.where, c.error, c.message));
    }
}

// REad's EAGAIN and ACceptWithTimeOut's giving up are quiet.
TEST_F(WrappersDeathTest, QuietReturnsLeaveNoRecord) {
    acceptScript.assign(10, EMFILE);
    Fds pipe(0, O_NONBLOCK);
    EXPECT_EXIT(_exit(acceptNow(0) == -1 && REad(pipe.fd[0], scratch, 4, caller, 1) == 0 ? 0 : 1),
                ::testing::ExitedWithCode(0), "^$");
}

// EINTR twice: each wrapper calls again and ends with the real result.
TEST_F(Wrappers, EintrIsRetriedUntilTheCallSucceeds) {
    Fds pipe;
    Fds pair(SOCK_STREAM);
    pair.put("x");
    fd_set set;
    FD_ZERO(&set);
    FD_SET(pair.fd[0], &set);
    testing_support::TempDir dir;
    sockaddr unnamed{}; // bound to a free abstract address
    unnamed.sa_family = AF_UNIX;
    char buffer[5] = {};
    int file = -1, server = -1;
    long stored = 0;
    const std::function<bool()> cases[] = {
        [] { return WEXITSTATUS(SYstem("exit 1", caller, 1)) == 1; },
        [&] { return SElect(pair.fd[0], &set, nullptr, caller, 2) == 1; },
        [&] { return (file = OPen(dir.file("new").c_str(), O_CREAT | O_WRONLY, caller, 3)) >= 0; },
        [&] { return WRite(pipe.fd[1], const_cast<char*>("wxyz"), 4, caller, 4) == 4; },
        [&] { return REad(pipe.fd[0], buffer, 4, caller, 5) == 4; },
        [&] { return TIme(&stored, caller, 6) == stored && stored > 0; },
        [&] { return (server = SOcket(AF_UNIX, SOCK_STREAM, 0, caller, 7)) >= 0; },
        [&] { return BInd(server, &unnamed, sizeof unnamed.sa_family, caller, 8) == 0; },
        [&] { return LIsten(server, 4, caller, 9) == 0; },
    };
    mode_t oldMask = umask(027);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        calls = 0;
        failures = 2;
        EXPECT_TRUE(cases[i]()) << "case " << i;
        EXPECT_EQ(calls, 3) << "case " << i;
    }
    umask(oldMask);
    EXPECT_STREQ(buffer, "wxyz");
    struct stat info {};
    EXPECT_EQ(fstat(file, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u) << "0666 narrowed by the umask";
    ::close(file);
    ::close(server);
}

TEST_F(Wrappers, SElectTracesATimeOutFromLevelTwo) {
    testing_support::TempDir dir;
    std::string fifo = dir.file("trace");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int trace = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    debugResetChannel(fifo.c_str());
    unsigned char savedLevel = DebugLevel;
    for (unsigned char level : {1, 2}) {
        DebugLevel = level;
        timeval timeout{0, 1000};
        EXPECT_EQ(SElect(-1, nullptr, &timeout, caller, 1), 0);
    }
    char lines[256] = {};
    EXPECT_GT(::read(trace, lines, sizeof lines - 1), 0);
    EXPECT_EQ(testing_support::countOf(lines, "\n"), 1) << lines;
    EXPECT_NE(std::strstr(lines, "3  0  wrappers@225:Select Timed Out\n"), nullptr) << lines;
    DebugLevel = savedLevel;
    debugResetChannel(nullptr);
    ::close(trace);
}

// O_TMPFILE creates a file too (O_CREAT is checked in EintrIsRetried...).
TEST_F(Wrappers, OPenGivesTheModeWithOTmpfile) {
    static mode_t modeSeen;
    wrappersOs().open = [](const char*, int, mode_t mode) { return modeSeen = mode, 7; };
    EXPECT_EQ(OPen("dir", O_RDWR | O_TMPFILE, caller, 1), 7);
    EXPECT_EQ(modeSeen, 0666u);
}

// Linux has released the descriptor when close() reports EINTR; closing again
// could close one that another thread has just opened.
TEST_F(Wrappers, CLoseTakesEintrAsDone) {
    failures = 1;
    EXPECT_EQ(CLose(5, caller, 1), 0);
    EXPECT_EQ(calls, 1);
}

TEST_F(Wrappers, REadCollectsTheCountButStopsAtEagainOrEndOfFile) {
    // One message per read, so the count arrives in three pieces; a read of
    // more than is missing would also take "XY".
    Fds pair(SOCK_SEQPACKET, SOCK_NONBLOCK);
    for (const char* piece : {"abcd", "ef", "ghiXY", "abc"})
        pair.put(piece);
    char buffer[16] = {};
    EXPECT_EQ(REad(pair.fd[0], buffer, 9, caller, 1), 9);
    EXPECT_STREQ(buffer, "abcdefghi");
    EXPECT_EQ(REad(pair.fd[0], buffer, 8, caller, 2), 0) << "EAGAIN after a partial read";

    pair.put("xyz");
    ::close(pair.fd[1]);
    pair.fd[1] = -1;
    alarm(10); // ends a REad that spins at end of file
    EXPECT_EQ(REad(pair.fd[0], buffer, 8, caller, 3), 3) << "end of file";
    alarm(0);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
}

// ECONNABORTED and EINTR are not counted, six counted failures are survived, and
// the length is stored again before every attempt except the one after EINTR.
TEST_F(Wrappers, ACceptCountsOnlyRealFailures) {
    const int M = EMFILE, A = ECONNABORTED, I = EINTR;
    acceptScript = {A, M, I, M, A, M, M, I, M, M};
    EXPECT_EQ(acceptNow(), kAcceptedFd);
    EXPECT_EQ(lengthsSeen, (std::vector<unsigned int>{16, 16, 16, 3, 16, 16, 16, 16, 3, 16, 16}));
    EXPECT_TRUE(pauses.empty());
}

// One one-second pause after each counted failure; gives up once the 8-bit
// counter is above TIMEOUT (a signed comparison), never for 255, which wraps.
TEST_F(Wrappers, ACceptWithTimeOutPausesAndGivesUp) {
    const struct {
        int timeout;
        std::size_t failures;
        int result, attempts;
    } cases[] = {{0, 1000, -1, 2},  {3, 1000, -1, 5},     {3, 4, kAcceptedFd, 5},
                 {-1, 1000, -1, 1}, {254, 1000, -1, 256}, {255, 600, kAcceptedFd, 601}};
    for (const auto& c : cases) {
        SCOPED_TRACE("time-out " + std::to_string(c.timeout));
        calls = 0;
        pauses.clear();
        acceptScript.assign(c.failures, EMFILE);
        EXPECT_EQ(acceptNow(c.timeout), c.result);
        EXPECT_EQ(calls, c.attempts);
        EXPECT_EQ(pauses, std::vector<unsigned int>(static_cast<std::size_t>(c.attempts - 1), 1u));
    }
}

TEST(DiffTime, SubtractsBorrowingASecond) {
    const struct {
        timeval start, end, difference;
    } cases[] = {
        {{5, 200000}, {7, 100000}, {1, 900000}},
        {{10, 500}, {12, 500}, {2, 0}},
        {{7, 100000}, {5, 200000}, {-2, 100000}}, // END before START
    };
    for (const auto& c : cases) {
        timeval result{-99, -99};
        DiffTime(c.start, c.end, &result);
        EXPECT_EQ(result.tv_sec, c.difference.tv_sec) << c.end.tv_sec;
        EXPECT_EQ(result.tv_usec, c.difference.tv_usec) << c.end.tv_sec;
    }
}

} // namespace
