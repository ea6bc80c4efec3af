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
#include <functional>
#include <string>
#include <vector>

namespace {

using testing_support::countOf;
using testing_support::TempDir;

const char* const kNoServerNotice = "Debug server is not running. Using printf() for debug o/p.\n";
const char* const kMissingNotice = "The debug pipe /var/run/debugpipe could not be opened "
                                   "(error:No such file or directory. No problem. Using printf() "
                                   "for debug.\n";
const char* const kDropNotice = "REMOVE ME! Dropping debug string as write pipe is full!\n";
const char* const kLevelIVNotice = "Turning on special debug level IV.\n";
const char* const kSyslogNotice = "Redirecting all SysLog() to stderr.\n";

void resetLevels() {
    DebugLevel = 0;
    DebugLevel_IV = 0;
    Syslogtodebug = 0;
}

// What f printed on standard output.
std::string stdoutOf(const std::function<void()>& f) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Runs InstallDebug on the words of line (program name first), argc of them or all.
std::string install(std::string line, long argc = -1) {
    std::vector<char*> argv;
    for (char* word = strtok(&line[0], " "); word != nullptr; word = strtok(nullptr, " "))
        argv.push_back(word);
    long count = argc >= 0 ? argc : long(argv.size());
    argv.push_back(nullptr);
    return stdoutOf([&] { InstallDebug(count, argv.data()); });
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

class DebugTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetLevels();
        debugResetChannel(dir_.file("missing").c_str());
    }
    void TearDown() override {
        fflush(stdout);
        debugResetChannel(nullptr);
        resetLevels();
        if (reader_ >= 0)
            close(reader_);
    }

    // A fresh FIFO with a reader that does not block, the channel pointed at it.
    void openPipe() {
        path_ = dir_.file("pipe" + std::to_string(++fifos_));
        ASSERT_EQ(0, mkfifo(path_.c_str(), 0600));
        reader_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader_, 0);
        debugResetChannel(path_.c_str());
    }

    TempDir dir_;
    std::string path_;
    int reader_ = -1;
    int fifos_ = 0;
};

TEST_F(DebugTest, SwitchesSetTheLevelsAndPrintTheirNotices) {
    const std::string level = "Increasing debug verbosity level to ";
    struct Case {
        const char* words;
        long argc; // -1: all words
        int level, levelIV, syslog;
        std::string out;
    };
    const Case cases[] = {
        {"ds", -1, 0, 0, 0, ""},
        {"ds -v -v -v -v", -1, 4, 0, 0, level + "4.\n" + kLevelIVNotice},
        {"ds -V -V", -1, 0, 2, 0, kLevelIVNotice},
        {"ds -v x -V --syslogtodebug -v", -1, 2, 1, 1,
         kSyslogNotice + level + "2.\n" + kLevelIVNotice},
        {"-v -vv -V1 --SYSLOGTODEBUG v", -1, 0, 0, 0, ""},
        {"ds -v -V", 2, 1, 0, 0, level + "1.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words);
        resetLevels();
        EXPECT_EQ(c.out, install(c.words, c.argc));
        EXPECT_EQ(c.level, int(DebugLevel));
        EXPECT_EQ(c.levelIV, int(DebugLevel_IV));
        EXPECT_EQ(c.syslog, int(Syslogtodebug));
    }
}

TEST_F(DebugTest, LevelSignalsRaiseAndLowerTheLevels) {
    install("ds");
    for (int sig : {SIGUSR1, SIGUSR2}) {
        struct sigaction action {};
        ASSERT_EQ(0, sigaction(sig, nullptr, &action));
        EXPECT_NE(0, action.sa_flags & SA_RESTART) << "reads must not fail with EINTR";
    }
    struct Case {
        int level, levelIV;
        std::vector<int> signals;
        int levelAfter, levelIVAfter;
    };
    const Case cases[] = {
        {0, 0, {SIGUSR1}, 1, 0},
        {255, 1, {SIGUSR1}, 0, 1}, // wraps
        {2, 2, {SIGUSR2}, 1, 2},   // the level first
        {0, 2, {SIGUSR2}, 0, 1},   // then -V
        {1, 1, {SIGUSR2, SIGUSR2, SIGUSR2}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.level) + "/" + std::to_string(c.levelIV));
        DebugLevel = static_cast<unsigned char>(c.level);
        DebugLevel_IV = static_cast<unsigned char>(c.levelIV);
        for (int sig : c.signals)
            raise(sig); // returns after the handler has run
        EXPECT_EQ(c.levelAfter, int(DebugLevel));
        EXPECT_EQ(c.levelIVAfter, int(DebugLevel_IV));
    }
}

TEST_F(DebugTest, WithoutServerOneNoticeThenEveryLineOnStdout) {
    const std::string fifo = dir_.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::pair<std::string, const char*> cases[] = {
        {dir_.file("missing"), kMissingNotice},
        {fifo, kNoServerNotice},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        debugResetChannel(c.first.c_str());
        std::string out = stdoutOf([] {
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 123, "%s", "hello");
            DebugLog(ERR_SEVERITY_ERROR, ERR_SYSTEM_CALL, "wrappers", 0, "%s", " lead");
            DebugLog(ERR_SEVERITY_PROBLEM, ERR_DB_LIST, "dbList", 123456, "%s", "");
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "d", 7, "%s=%d %05.1f|%-3s|%x", "n", -4, 2.5,
                     "ab", 255u);
        });
        EXPECT_EQ(c.second +
                      std::string("T 3  0  debugTest@123:hello\nT 0  62  wrappers@0: lead\n") +
                      "T 1  106  dbList@123456:\nT 3  0  d@7:n=-4 002.5|ab |ff\n",
                  unstamped(out));
    }
}

TEST_F(DebugTest, PipeGetsOneWholeLinePerCallCutToOneWrite) {
    openPipe();
    for (std::size_t size : {0, 400, 5000}) {
        SCOPED_TRACE(size);
        const std::string text(size, 't');
        std::string out = stdoutOf(
            [&] { DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 5, "%s", text.c_str()); });
        EXPECT_EQ("", out) << "no notice in pipe mode";
        std::string line = drain(reader_);
        if (size <= 400) {
            EXPECT_EQ("T 3  0  debugTest@5:" + text + "\n", unstamped(line));
            continue;
        }
        EXPECT_EQ(1, countOf(line, "\n"));
        EXPECT_EQ('\n', line.back());
        EXPECT_LE(line.size(), std::size_t(PIPE_BUF));
        EXPECT_GE(line.size(), 518u) << "a line of up to 518 bytes is never cut";
        EXPECT_EQ(1, countOf(line, "debugTest@5:" + text.substr(0, 400)));
    }
}

TEST_F(DebugTest, FullPipeDropsLinesThenMarksTheLossOnce) {
    openPipe();
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 1, "opening");
    ASSERT_EQ(1, countOf(drain(reader_), "opening\n"));
    int filler = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    const std::string page(4096, 'f');
    std::size_t filled = 0;
    for (ssize_t n; (n = write(filler, page.data(), page.size())) > 0;)
        filled += std::size_t(n);
    while (write(filler, "f", 1) == 1)
        ++filled;
    close(filler);

    std::string out = stdoutOf([] {
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 2, "dropped");
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 2, "dropped");
    });
    EXPECT_EQ(std::string(kDropNotice) + kDropNotice, out);
    EXPECT_EQ(std::string(filled, 'f'), drain(reader_)) << "no piece of a dropped line";

    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 3, "after");
    EXPECT_EQ("LOSTDATA!\nT 3  0  debugTest@3:after\n", unstamped(drain(reader_)));
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 4, "next");
    EXPECT_EQ("T 3  0  debugTest@4:next\n", unstamped(drain(reader_)));
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
        hostPipeSignals = 0;

        openPipe();
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 10, "to the server");
        EXPECT_EQ(1, countOf(drain(reader_), "debugTest@10:to the server\n"));
        close(reader_);
        reader_ = -1;
        std::string out = unstamped(stdoutOf([] {
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 11, "after close");
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 12, "after close");
        }));
        // Still here: one notice, then the lines.
        EXPECT_EQ(3, countOf(out, "\n")) << out;
        EXPECT_EQ(1, countOf(out.substr(0, out.find('\n')), "Using printf()")) << out;
        EXPECT_EQ(out.find('\n') + 1,
                  out.find("T 3  0  debugTest@11:after close\nT 3  0  debugTest@12:after close\n"));

        struct sigaction now {};
        ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &now));
        EXPECT_EQ(action.sa_handler, now.sa_handler);
        EXPECT_EQ(0, hostPipeSignals);
        sigset_t mask, pending;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        EXPECT_EQ(host == Blocked, sigismember(&mask, SIGPIPE) == 1);
        sigpending(&pending);
        EXPECT_EQ(0, sigismember(&pending, SIGPIPE)) << "no SIGPIPE left for the program";
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
        sigaction(SIGPIPE, &saved, nullptr);
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
    char name[] = "deviceScan";
    char* argv[] = {name, nullptr};
    InstallDebug(1, argv);
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
