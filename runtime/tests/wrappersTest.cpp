// The checked system-call wrappers, through the seam (wrappersOs), whose fakes
// fail the first calls on demand and count ACceptWithTimeOut's pauses.
#include "wrappers.h"
#include "runtimeTestSupport.h"
#include "wrappersOs.h"

#include <optional>
#include <type_traits>

char caller[] = "c"; // the wrappers take the caller's file as char*
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
        // accept() scribbles on the length, as the kernel may.
        wrappersOs().accept = [](int, sockaddr*, socklen_t* length) {
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

// %s in a message stands for the text of EIO.
TEST_F(WrappersDeathTest, FailuresLogOneRecordAndAbort) {
    failures = 1, failWith = EIO;
    const std::tuple<std::function<void()>, const char*, int, const char*> cases[] = {
        {[] { SYstem("true", caller, 1); }, "wrappers@199", 62, "System(..) call failed. err = %s"},
        {[] { SElect(0, nullptr, nullptr, caller, 2); }, "wrappers@233", 0,
         "select() failed giving error (%s) (called from c@2)"},
        {[] { OPen("path", O_RDONLY, caller, 3); }, "c@3", 0, "open() of path failed. Error=%s."},
        {[] { CLose(5, caller, 4); }, "c@4", 0, "close(..) failed. Error=%s."},
        {[] { REad(5, scratch, 4, caller, 5); }, "c@5", 0, "read() failed. Error=\"%s\"."},
        {[] { WRite(5, scratch, -1, caller, 6); }, "c@6", 0,
         "write() failed. Error=\"Invalid argument\"."},
        // Short once: a second write would finish, but must not be made.
        {[] {
             wrappersOs().write = [](int, const void*, size_t n) { return ssize_t(n - !calls++); };
             WRite(5, scratch, 4, caller, 7);
         },
         "c@7", 0, "write() failed. Error=\""},
        // Allocations are not tried again after EINTR.
        {[] { failWith = EINTR, MAlloc(16, caller, 8); }, "c@8", 0,
         "malloc() failed. Error=\"Interrupted system call\"."},
        {[] { REalloc(nullptr, 16, caller, 9); }, "c@9", 0, "realloc() failed. Error=\"%s\"."},
        {[] { TIme(nullptr, caller, 10); }, "c@10", 0, "time() failed. Error=\"%s\"."},
        {[] { SOcket(AF_INET, SOCK_STREAM, 0, caller, 11); }, "wrappers@489", 0,
         "%s (called from c@11)"},
        {[] { BInd(5, nullptr, 0, caller, 12); }, "wrappers@511", 0, "%s (called from c@12)"},
        {[] { LIsten(5, 1, caller, 13); }, "wrappers@530", 0, "%s (called from c@13)"},
        {[] { acceptScript.assign(7, EMFILE), acceptNow(); }, "wrappers@573", 0,
         "Too many open files (called from c@90)"},
    };
    for (const auto& [call, where, error, message] : cases) {
        std::string record = std::string("SysLog ") + where + ": severity 0 error " +
                             std::to_string(error) + ": " + message;
        record =
            std::regex_replace(std::regex_replace(record, std::regex("%s"), std::strerror(EIO)),
                               std::regex("[()|.*+?^$\\[\\]{}\\\\]"), "\\$&");
        EXPECT_EXIT(call(), ::testing::KilledBySignal(SIGABRT), record);
    }
    // REad's EAGAIN and ACceptWithTimeOut's giving up are quiet.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    acceptScript.assign(9, EMFILE);
    EXPECT_EXIT(_exit(acceptNow(0) == -1 && REad(fds[0], scratch, 4, caller, 1) == 0 ? 0 : 1),
                ::testing::ExitedWithCode(0), "^$");
}

// Two EINTR, then the real call and its result. CLose takes EINTR as done: the
// descriptor is released already. REad asks for the missing bytes only, one
// message per read, and stops at end of file. Standard input is closed, so
// that the O_TMPFILE file opens as descriptor 0; created files get 0666 less
// the umask.
TEST_F(Wrappers, EintrIsRetriedUntilTheCallSucceeds) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fds[0], &set);
    testing_support::TempDir dir;
    char buffer[8] = {};
    long stored = 0;
    int server = -1;
    close(STDIN_FILENO);
    const std::pair<int, std::function<bool()>> cases[] = {
        {3, [] { return WEXITSTATUS(SYstem("exit 1", caller, 1)) == 1; }},
        {3, [&] { return SElect(fds[0], &set, nullptr, caller, 2) == 1; }},
        {3, [&] { return OPen(dir.path().c_str(), O_RDWR | O_TMPFILE, caller, 3) == 0; }},
        {3, [&] { return OPen(dir.file("f").c_str(), O_CREAT | O_WRONLY, caller, 3) > 0; }},
        {3, [&] { return WRite(fds[1], const_cast<char*>("wxyz"), 4, caller, 4) == 4; }},
        {4,
         [&] { return REad(fds[0], buffer, 3, caller, 5) == 3 && buffer == std::string("xwx"); }},
        {4,
         [&] {
             return write(fds[1], "ab", 2) + close(fds[1]) == 2 &&
                    REad(fds[0], buffer, 8, caller, 6) == 2;
         }},
        {3, [&] { return TIme(&stored, caller, 7) == stored && stored > 0; }},
        {3, [&] { return (server = SOcket(AF_INET, SOCK_STREAM, 0, caller, 8)) > 0; }},
        {3, [&] { return LIsten(server, 4, caller, 9) == 0; }},
        {1, [&] { return CLose(fds[0], caller, 9) == 0; }},
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
    ASSERT_TRUE(pipe(fds) == 0 && write(fds[1], "x", 1) == 1);
    for (unsigned char level : {1, 2}) {
        DebugLevel = level;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fds[0], &set);
        timeval zero{0, 0};
        std::string out =
            stdoutOf([&] { EXPECT_EQ(SElect(fds[0] - 1, &set, &zero, caller, 1), 0); });
        EXPECT_EQ(countOf(out, " 3  0  wrappers@225:Select Timed Out\n"), level - 1);
    }
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
        if (!timeout) {
            EXPECT_EQ(lengthsSeen,
                      (std::vector<unsigned>{16, 16, 16, 3, 16, 16, 16, 16, 3, 16, 16}));
        }
    }
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
