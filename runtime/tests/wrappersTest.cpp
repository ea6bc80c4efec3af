// The checked system-call wrappers, through the seam (wrappersOs), whose fakes
// fail the first calls on demand and count ACceptWithTimeOut's pauses.
#include "wrappers.h"
#include "runtimeTestSupport.h"
#include "wrappersOs.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <optional>
#include <type_traits>
#include <vector>

namespace {

char caller[] = "caller.cpp"; // the wrappers take the caller's file as char*
char scratch[16];
int calls, failures, failWith; // calls through the seam; how many of the first fail, with what
std::vector<int> acceptScript; // errno of each failing accept(), then it accepts (42)
std::vector<unsigned int> lengthsSeen, pauses; // accept()'s length in, sleep()'s seconds

// Seam entry M: the real call after `failures` failing ones. errno stays as the
// last failure left it, but is cleared for a call made after a success, so that
// a wrapper that repeats a success ends its loop and shows in the count.
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
              if constexpr (std::is_pointer_v<Result>)
                  return Result{};
              else
                  return Result(-1);
          }),
     ...);
}

// ACcept, or ACceptWithTimeOut when given a time-out.
int acceptNow(std::optional<int> timeout = std::nullopt) {
    sockaddr peer{};
    unsigned int length = 0;
    return timeout ? ACceptWithTimeOut(3, &peer, &length, *timeout, caller, 91)
                   : ACcept(3, &peer, &length, caller, 90);
}

class Wrappers : public RuntimeTest {
  protected:
    Wrappers() {
        using W = WrappersOs;
        failFirst<&W::system, &W::select, &W::open, &W::close, &W::read, &W::write, &W::malloc,
                  &W::realloc, &W::time, &W::socket, &W::bind, &W::listen>();
        wrappersOs().accept = [](int, sockaddr*, socklen_t* length) { // scribbles as the kernel may
            lengthsSeen.push_back(std::exchange(*length, 3));
            std::size_t call = std::size_t(calls++);
            return call < acceptScript.size() ? (errno = acceptScript[call], -1) : 42;
        };
        wrappersOs().sleep = [](unsigned int seconds) { return pauses.push_back(seconds), 0u; };
        calls = failures = errno = 0, failWith = EINTR;
    }
    ~Wrappers() override { wrappersOs() = realWrappersOs(); }
};
using WrappersDeathTest = Wrappers;

// The last case: REad's EAGAIN and ACceptWithTimeOut's giving up are quiet.
TEST_F(WrappersDeathTest, FailuresLogOneRecordAndAbort) {
    failures = 1, failWith = EIO;
    const std::string e = std::strerror(EIO), from = e + " \\(called from caller\\.cpp@";
    auto failed = [](const char* call, int code = EIO) {
        return call + (" failed\\. Error=\"" + std::string(std::strerror(code))) + "\"\\.";
    };
    const std::tuple<std::function<void()>, std::string, std::function<bool(int)>> cases[] = {
        {[] { SYstem("true", caller, 1); },
         "wrappers@199: severity 0 error 62: System\\(\\.\\.\\) call failed\\. err = " + e,
         {}},
        {[] { SElect(0, nullptr, nullptr, caller, 2); },
         "wrappers@233: severity 0 error 0: select\\(\\) failed giving error \\(" + e +
             "\\) \\(called from caller\\.cpp@2\\)",
         {}},
        {[] { OPen("path", O_RDONLY, caller, 3); },
         "caller\\.cpp@3: severity 0 error 0: open\\(\\) of path failed\\. Error=" + e + "\\.",
         {}},
        {[] { CLose(5, caller, 4); },
         "caller\\.cpp@4: severity 0 error 0: close\\(\\.\\.\\) failed\\. Error=" + e + "\\.",
         {}},
        {[] { REad(5, scratch, 4, caller, 5); },
         "caller\\.cpp@5: severity 0 error 0: " + failed("read\\(\\)"),
         {}},
        {[] { WRite(5, scratch, -1, caller, 6); },
         "caller\\.cpp@6: severity 0 error 0: " + failed("write\\(\\)", EINVAL),
         {}},
        // Short once: a second write would finish, but must not be made.
        {[] {
             wrappersOs().write = [](int, const void*, size_t n) { return ssize_t(n - !calls++); },
             WRite(5, scratch, 4, caller, 7);
         },
         "caller\\.cpp@7: severity 0 error 0: write\\(\\) failed",
         {}},
        // Allocations are not tried again after EINTR.
        {[] { failWith = EINTR, MAlloc(16, caller, 8); },
         "caller\\.cpp@8: severity 0 error 0: " + failed("malloc\\(\\)", EINTR),
         {}},
        {[] { REalloc(nullptr, 16, caller, 9); },
         "caller\\.cpp@9: severity 0 error 0: " + failed("realloc\\(\\)"),
         {}},
        {[] { TIme(nullptr, caller, 10); },
         "caller\\.cpp@10: severity 0 error 0: " + failed("time\\(\\)"),
         {}},
        {[] { SOcket(AF_INET, SOCK_STREAM, 0, caller, 11); },
         "wrappers@489: severity 0 error 0: " + from + "11\\)",
         {}},
        {[] { BInd(5, nullptr, 0, caller, 12); },
         "wrappers@511: severity 0 error 0: " + from + "12\\)",
         {}},
        {[] { LIsten(5, 1, caller, 13); },
         "wrappers@530: severity 0 error 0: " + from + "13\\)",
         {}},
        {[] { acceptScript.assign(7, EMFILE), acceptNow(); },
         "wrappers@573: severity 0 error 0: " + std::string(std::strerror(EMFILE)) +
             " \\(called from caller\\.cpp@90\\)",
         {}},
        {[] {
             int fds[2];
             acceptScript.assign(9, EMFILE);
             _exit(pipe2(fds, O_NONBLOCK) || acceptNow(0) != -1 ||
                   REad(fds[0], scratch, 4, caller, 1));
         },
         "^$", ::testing::ExitedWithCode(0)},
    };
    for (const auto& [call, message, ended] : cases)
        EXPECT_EXIT(call(), ended ? ended : ::testing::KilledBySignal(SIGABRT),
                    (message == "^$" ? "" : "SysLog ") + message);
}

// Two EINTR, then the real call and its result (CLose takes EINTR as done: the
// descriptor is released already). Standard input is closed, so that the
// O_TMPFILE file opens as descriptor 0; created files get 0666 less the umask.
TEST_F(Wrappers, EintrIsRetriedUntilTheCallSucceeds) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fds[0], &set);
    testing_support::TempDir dir;
    char buffer[6] = {};
    long stored = 0;
    close(STDIN_FILENO);
    const std::pair<int, std::function<bool()>> cases[] = {
        {3, [] { return WEXITSTATUS(SYstem("exit 1", caller, 1)) == 1; }},
        {3, [&] { return SElect(fds[0], &set, nullptr, caller, 2) == 1; }},
        {3, [&] { return OPen(dir.path().c_str(), O_RDWR | O_TMPFILE, caller, 3) == 0; }},
        {3, [&] { return OPen(dir.file("f").c_str(), O_CREAT | O_WRONLY, caller, 3) > 0; }},
        {3, [&] { return WRite(fds[1], const_cast<char*>("wxyz"), 4, caller, 4) == 4; }},
        {3,
         [&] { return REad(fds[0], buffer, 5, caller, 5) == 5 && buffer == std::string("xwxyz"); }},
        {3, [&] { return TIme(&stored, caller, 6) == stored && stored > 0; }},
        {3, [&] { return LIsten(SOcket(AF_UNIX, SOCK_STREAM, 0, caller, 7), 4, caller, 8) == 0; }},
        {1, [&] { return CLose(fds[1], caller, 10) == 0; }},
    };
    mode_t oldMask = umask(027);
    for (const auto& [expectedCalls, call] : cases) {
        calls = 0, failures = 2;
        EXPECT_TRUE(call() && calls == expectedCalls) << &call - &cases[0].second;
    }
    umask(oldMask);
    struct stat info {};
    EXPECT_EQ(fstat(STDIN_FILENO, &info) == 0 ? info.st_mode & 0777 : 0, 0640u);
    EXPECT_EQ(stat(dir.file("f").c_str(), &info) == 0 ? info.st_mode & 0777 : 0, 0640u);
}

// A time-out is traced from level 2 on; descriptors above the highest given
// are not looked at.
TEST_F(Wrappers, SElectTimesOutAndTracesItFromLevelTwo) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    for (unsigned char level : {1, 2}) {
        DebugLevel = level;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fds[0], &set);
        timeval zero{0, 0};
        std::string out =
            stdoutOf([&] { EXPECT_EQ(SElect(fds[0] - 1, &set, &zero, caller, 1), 0); });
        EXPECT_EQ(testing_support::countOf(out, "3  0  wrappers@225:Select Timed Out\n"),
                  level - 1);
    }
}

// One message per read, so the count arrives in three pieces; a read of more
// than is missing would also take "XY".
TEST_F(Wrappers, REadCollectsTheCountButStopsAtEagainOrEndOfFile) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds), 0);
    for (const char* piece : {"abcd", "ef", "ghiXY", "abc"})
        ASSERT_GT(write(fds[1], piece, std::strlen(piece)), 0);
    char buffer[16] = {};
    EXPECT_TRUE(REad(fds[0], buffer, 9, caller, 1) == 9 && buffer == std::string("abcdefghi"));
    EXPECT_EQ(REad(fds[0], buffer, 8, caller, 2), 0) << "EAGAIN after a partial read";
    ASSERT_TRUE(write(fds[1], "xyz", 3) == 3 && close(fds[1]) == 0);
    alarm(10); // ends a REad that spins at end of file
    EXPECT_TRUE(REad(fds[0], buffer, 8, caller, 3) == 3 && std::string(buffer, 3) == "xyz");
    alarm(0);
}

// ECONNABORTED and EINTR are not counted, and the length is stored again before
// every attempt but the one after EINTR. ACcept survives six counted failures;
// ACceptWithTimeOut pauses a second after each and gives up once the 8-bit
// counter is above the time-out (a signed comparison), never at 255 (it wraps).
TEST_F(Wrappers, AcceptCountsFailuresAndGivesUpAfterItsTimeOut) {
    const int M = EMFILE, A = ECONNABORTED, I = EINTR;
    const std::tuple<std::optional<int>, std::vector<int>, int, unsigned> cases[] = {
        {{}, {A, M, I, M, A, M, M, I, M, M}, 42, 0}, {0, std::vector<int>(9, M), -1, 1},
        {3, std::vector<int>(9, M), -1, 4},          {3, std::vector<int>(4, M), 42, 4},
        {-1, std::vector<int>(9, M), -1, 0},         {254, std::vector<int>(999, M), -1, 255},
        {255, std::vector<int>(600, M), 42, 600},
    };
    for (const auto& [timeout, script, result, pauseCount] : cases) {
        calls = 0, acceptScript = script;
        lengthsSeen.clear(), pauses.clear();
        EXPECT_EQ(acceptNow(timeout), result) << timeout.value_or(999);
        EXPECT_EQ(pauses, std::vector<unsigned int>(pauseCount, 1u)) << timeout.value_or(999);
    }
    acceptScript = std::get<1>(cases[0]);
    calls = 0, lengthsSeen.clear();
    acceptNow();
    EXPECT_EQ(lengthsSeen, (std::vector<unsigned>{16, 16, 16, 3, 16, 16, 16, 16, 3, 16, 16}));
}

TEST(DiffTime, SubtractsBorrowingASecond) {
    const timeval cases[][3] = {// start, end, difference
                                {{5, 200000}, {7, 100000}, {1, 900000}},
                                {{10, 500}, {12, 500}, {2, 0}},
                                {{7, 100000}, {5, 200000}, {-2, 100000}}};
    for (const auto& [start, end, difference] : cases) {
        timeval result{-99, -99};
        DiffTime(start, end, &result);
        EXPECT_EQ(std::pair(result.tv_sec, result.tv_usec),
                  std::pair(difference.tv_sec, difference.tv_usec));
    }
}

} // namespace
