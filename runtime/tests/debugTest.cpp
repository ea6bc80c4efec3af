// Tests of the trace channel: the verbosity switches and level signals, the
// trace line format, and delivery through a real FIFO (with and without a
// reader, full, and closed under the writer) or on standard output.
#include "debug.h"
#include "debugInternal.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using testing_support::countOf;

const char* const kNoServerNotice = "Debug server is not running. Using printf() for debug o/p.\n";
const char* const kMissingNotice = "The debug pipe /var/run/debugpipe could not be opened "
                                   "(error:No such file or directory. No problem. Using printf() "
                                   "for debug.\n";
const char* const kDropNotice = "REMOVE ME! Dropping debug string as write pipe is full!\n";
const char* const kLevelIVNotice = "Turning on special debug level IV.\n";
const char* const kSyslogNotice = "Redirecting all SysLog() to stderr.\n";

// What f printed on standard output.
template <typename F> std::string stdoutOf(F f) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// text with the stamp and process id of every trace line written in this
// second or the one before replaced by "T ".
std::string unstamped(std::string text) {
    const std::string pid = " :  pid (" + std::to_string(getpid()) + ") ";
    for (time_t t = time(nullptr), first = t - 1; t >= first; --t) {
        struct tm local {};
        localtime_r(&t, &local);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%d-%m-%Y %H:%M:%S", &local);
        const std::string head = stamp + pid;
        for (std::size_t at; (at = text.find(head)) != std::string::npos;)
            text.replace(at, head.size(), "T ");
    }
    return text;
}

// Everything readable now from a non-blocking descriptor.
std::string drain(int fd) {
    std::string data;
    char buffer[8192];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);)
        data.append(buffer, n > 0 ? std::size_t(n) : 0);
    return data;
}

void trace(unsigned long line, const char* text) {
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", line, "%s", text);
}

class DebugTest : public ::testing::Test {
  protected:
    static void resetLevels() { DebugLevel = DebugLevel_IV = Syslogtodebug = 0; }
    DebugTest() {
        resetLevels();
        debugResetChannel(dir_.file("missing").c_str());
    }
    void TearDown() override {
        debugResetChannel(nullptr);
        resetLevels();
        if (reader_ >= 0)
            close(reader_);
    }

    // A fresh FIFO with a reader that does not block, the channel pointed at it.
    void openPipe() {
        path_ = dir_.file("pipe");
        unlink(path_.c_str());
        ASSERT_EQ(0, mkfifo(path_.c_str(), 0600));
        reader_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader_, 0);
        debugResetChannel(path_.c_str());
    }

    testing_support::TempDir dir_;
    std::string path_;
    int reader_ = -1;
};

TEST_F(DebugTest, SwitchesSetTheLevelsAndPrintTheirNotices) {
    const std::string level = "Increasing debug verbosity level to ";
    struct Case {
        const char* words; // the program name first
        int argc, level, levelIV, syslog;
        std::string out;
    };
    const Case cases[] = {
        {"ds -v -v -v -v", 5, 4, 0, 0, level + "4.\n" + kLevelIVNotice},
        {"ds -v x -V --syslogtodebug -v", 6, 2, 1, 1,
         kSyslogNotice + level + "2.\n" + kLevelIVNotice},
        {"-v -vv -V1 --SYSLOGTODEBUG v", 5, 0, 0, 0, ""},
        {"ds -v -V", 2, 1, 0, 0, level + "1.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words);
        resetLevels();
        std::string words = c.words;
        std::vector<char*> argv;
        for (char* word = strtok(&words[0], " "); word != nullptr; word = strtok(nullptr, " "))
            argv.push_back(word);
        argv.push_back(nullptr);
        EXPECT_EQ(c.out, stdoutOf([&] { InstallDebug(c.argc, argv.data()); }));
        EXPECT_EQ(c.level, int(DebugLevel));
        EXPECT_EQ(c.levelIV, int(DebugLevel_IV));
        EXPECT_EQ(c.syslog, int(Syslogtodebug));
    }
}

TEST_F(DebugTest, LevelSignalsRaiseAndLowerTheLevels) {
    InstallDebug(0, nullptr);
    // The levels after n signals (raise returns after the handler has run).
    auto after = [](int sig, int n) {
        struct sigaction action {};
        EXPECT_EQ(0, sigaction(sig, nullptr, &action));
        EXPECT_NE(0, action.sa_flags & SA_RESTART) << "reads must not fail with EINTR";
        while (n-- > 0)
            raise(sig);
        return std::pair(int(DebugLevel), int(DebugLevel_IV));
    };
    DebugLevel = 255;
    DebugLevel_IV = 2;
    EXPECT_EQ(std::pair(0, 2), after(SIGUSR1, 1)) << "wraps";
    EXPECT_EQ(std::pair(1, 2), after(SIGUSR1, 1));
    EXPECT_EQ(std::pair(0, 2), after(SIGUSR2, 1)) << "the level first";
    EXPECT_EQ(std::pair(0, 0), after(SIGUSR2, 3)) << "then -V, never below 0";
}

TEST_F(DebugTest, WithoutServerOneNoticeThenEveryLineOnStdout) {
    const std::string fifo = dir_.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    for (const auto& [path, notice] :
         {std::pair(dir_.file("missing"), kMissingNotice), std::pair(fifo, kNoServerNotice)}) {
        SCOPED_TRACE(path);
        debugResetChannel(path.c_str());
        std::string out = stdoutOf([] {
            DebugLog(ERR_SEVERITY_ERROR, ERR_SYSTEM_CALL, "wrappers", 0, "%s", " lead");
            DebugLog(ERR_SEVERITY_PROBLEM, ERR_DB_LIST, "dbList", 123456, "%s", "");
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "d", 7, "%s=%d %05.1f|%-3s|%x", "n", -4, 2.5,
                     "ab", 255u);
        });
        EXPECT_EQ(notice + std::string("T 0  62  wrappers@0: lead\n") +
                      "T 1  106  dbList@123456:\nT 3  0  d@7:n=-4 002.5|ab |ff\n",
                  unstamped(out));
    }
}

TEST_F(DebugTest, PipeGetsOneWholeLinePerCallCutToOneWrite) {
    openPipe();
    const std::string text(5000, 't');
    EXPECT_EQ("", stdoutOf([&] { trace(5, text.c_str()); })) << "no notice in pipe mode";
    std::string line = drain(reader_);
    EXPECT_EQ(1, countOf(line, "\n"));
    EXPECT_EQ('\n', line.back());
    EXPECT_LE(line.size(), std::size_t(PIPE_BUF));
    EXPECT_GE(line.size(), 518u) << "a line of up to 518 bytes is never cut";
    EXPECT_EQ(1, countOf(line, "debugTest@5:" + text.substr(0, 400)));
}

TEST_F(DebugTest, FullPipeDropsLinesThenMarksTheLossOnce) {
    openPipe();
    trace(1, "opening");
    ASSERT_EQ(1, countOf(drain(reader_), "opening\n"));
    int filler = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    const std::string page(4096, 'f');
    std::size_t filled = 0; // in ever smaller pieces, each written whole or not at all
    for (std::size_t piece = page.size(); piece > 0; piece /= 2)
        for (ssize_t n; (n = write(filler, page.data(), piece)) > 0;)
            filled += std::size_t(n);
    close(filler);

    EXPECT_EQ(std::string(kDropNotice) + kDropNotice, stdoutOf([] {
                  trace(2, "dropped");
                  trace(2, "dropped");
              }));
    EXPECT_EQ(std::string(filled, 'f'), drain(reader_)) << "no piece of a dropped line";
    trace(3, "after");
    trace(4, "next");
    EXPECT_EQ("LOSTDATA!\nT 3  0  debugTest@3:after\nT 3  0  debugTest@4:next\n",
              unstamped(drain(reader_)));
}

int hostPipeSignals = 0;

// The runtime lives in other programs: a debug server that goes away must
// neither end the process nor change what the program set up for SIGPIPE.
TEST_F(DebugTest, ReaderClosingDoesNotEndTheProcess) {
    enum Host { Default, OwnHandler, Blocked };
    for (Host host : {Default, OwnHandler, Blocked}) {
        SCOPED_TRACE(host);
        struct sigaction action {};
        struct sigaction saved {};
        action.sa_handler = host == OwnHandler ? [](int) { ++hostPipeSignals; } : SIG_DFL;
        ASSERT_EQ(0, sigaction(SIGPIPE, &action, &saved));
        sigset_t pipeOnly, oldMask;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        pthread_sigmask(host == Blocked ? SIG_BLOCK : SIG_UNBLOCK, &pipeOnly, &oldMask);

        openPipe();
        trace(10, "opens the pipe");
        close(reader_);
        reader_ = -1;
        std::string out = unstamped(stdoutOf([] {
            trace(11, "after close");
            trace(12, "after close");
        }));
        // Still here: one notice, then the lines.
        const std::size_t notice = out.find('\n') + 1;
        EXPECT_EQ(1, countOf(out.substr(0, notice), "Using printf()")) << out;
        EXPECT_EQ("T 3  0  debugTest@11:after close\nT 3  0  debugTest@12:after close\n",
                  out.substr(notice));

        EXPECT_EQ(0, hostPipeSignals);
        sigset_t mask, pending;
        sigpending(&pending);
        EXPECT_EQ(0, sigismember(&pending, SIGPIPE)) << "no SIGPIPE left for the program";
        pthread_sigmask(SIG_SETMASK, &oldMask, &mask);
        EXPECT_EQ(host == Blocked, sigismember(&mask, SIGPIPE) == 1);
        struct sigaction now {};
        sigaction(SIGPIPE, &saved, &now);
        EXPECT_EQ(action.sa_handler, now.sa_handler);
    }
}

int failingSignal = 0;

void installWithFailingSigaction(int sig) {
    Syslogtodebug = 1;
    failingSignal = sig;
    debugSetSigaction([](int s, const struct sigaction* action, struct sigaction* old) {
        errno = EINVAL;
        return s == failingSignal ? -1 : sigaction(s, action, old);
    });
    InstallDebug(0, nullptr);
}

TEST(DebugDeathTest, FailedHandlerInstallationLogsAndAborts) {
    EXPECT_EXIT(installWithFailingSigaction(SIGUSR1), testing::KilledBySignal(SIGABRT),
                "SysLog debug@185: severity 0 error 3: Could Not install signal handler for "
                "sigusr1 \\(increase DebugLevel\\)\\.\n");
    EXPECT_EXIT(installWithFailingSigaction(SIGUSR2), testing::KilledBySignal(SIGABRT),
                "SysLog debug@192: severity 0 error 3: Could Not install signal handler for "
                "sigusr2 \\(decrease DebugLevel\\)\\.\n");
}

} // namespace
