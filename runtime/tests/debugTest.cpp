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

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::countOf;
using testing_support::TempDir;

const char* const kNoServerNotice = "Debug server is not running. Using printf() for debug o/p.\n";
const char* const kDropNotice = "REMOVE ME! Dropping debug string as write pipe is full!\n";
const char* const kLevelIVNotice = "Turning on special debug level IV.\n";
const char* const kSyslogNotice = "Redirecting all SysLog() to stderr.\n";

std::string openFailedNotice(const char* reason) {
    return std::string("The debug pipe /var/run/debugpipe could not be opened (error:") + reason +
           ". No problem. Using printf() for debug.\n";
}

std::string levelNotice(int level) {
    return "Increasing debug verbosity level to " + std::to_string(level) + ".\n";
}

void resetLevels() {
    DebugLevel = 0;
    DebugLevel_IV = 0;
    Syslogtodebug = 0;
}

// Runs InstallDebug on a command line (program name first); returns what it
// printed. argc below the number of words hides the rest.
std::string install(std::vector<std::string> words, long argc = -1) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    fflush(stdout);
    testing::internal::CaptureStdout();
    InstallDebug(argc >= 0 ? argc : static_cast<long>(words.size()), argv.data());
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Sends sig to this process and returns once its handler has run.
void deliver(int sig) {
    sigset_t levelSignals;
    sigemptyset(&levelSignals);
    sigaddset(&levelSignals, SIGUSR1);
    sigaddset(&levelSignals, SIGUSR2);
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &levelSignals, &old);
    ASSERT_EQ(0, kill(getpid(), sig));
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, sig) == 1) {
        sigset_t waitMask = old;
        sigdelset(&waitMask, sig);
        sigsuspend(&waitMask);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

std::string stampAt(time_t when) {
    struct tm local {};
    localtime_r(&when, &local);
    char text[32];
    strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local);
    return text;
}

// Checks one whole trace line written between before and after: the time
// stamp of one of those seconds, this process's id, then rest and a newline.
void expectLine(const std::string& line, time_t before, time_t after, const std::string& rest) {
    static const std::regex header(R"(^\d\d-\d\d-\d{4} \d\d:\d\d:\d\d :  pid \(\d+\) )");
    EXPECT_TRUE(std::regex_search(line, header)) << line;
    std::string tail = " :  pid (" + std::to_string(getpid()) + ") " + rest + "\n";
    bool matched = false;
    for (time_t t = before; t <= after && !matched; ++t)
        matched = line == stampAt(t) + tail;
    EXPECT_TRUE(matched) << "line:     " << line << "expected: " << stampAt(before) << tail;
}

// Splits text after each newline; a last piece without one is kept too.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// Everything readable now from a non-blocking descriptor.
std::string drain(int fd) {
    std::string data;
    char buffer[8192];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return data;
        data.append(buffer, static_cast<std::size_t>(n));
    }
}

// Writes to a non-blocking pipe until it takes nothing more; returns the bytes taken.
std::size_t fillPipe(int fd) {
    std::size_t total = 0;
    const std::string page(4096, 'f');
    for (ssize_t n; (n = write(fd, page.data(), page.size())) > 0;)
        total += static_cast<std::size_t>(n);
    // Top up the last page byte by byte, so that not even a short line fits.
    while (write(fd, "f", 1) == 1)
        ++total;
    return total;
}

class DebugTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetLevels();
        fifoPath_ = dir_.file("debugpipe");
        debugResetChannel(dir_.file("missing").c_str());
    }
    void TearDown() override {
        fflush(stdout);
        closePipe();
        debugResetChannel(nullptr);
        resetLevels();
    }

    // A fresh FIFO with a reader that does not block, and the channel
    // pointed at it; any earlier pipe of the test is closed first.
    void openPipeWithReader() {
        closePipe();
        fifoPath_ = dir_.file("debugpipe" + std::to_string(++fifos_));
        ASSERT_EQ(0, mkfifo(fifoPath_.c_str(), 0600));
        reader_ = open(fifoPath_.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader_, 0);
        debugResetChannel(fifoPath_.c_str());
    }

    void closePipe() {
        debugResetChannel(dir_.file("missing").c_str());
        if (reader_ >= 0)
            close(reader_);
        if (writer_ >= 0)
            close(writer_);
        reader_ = -1;
        writer_ = -1;
    }

    // A second writer of our own, to fill the pipe.
    void openFiller() {
        writer_ = open(fifoPath_.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(writer_, 0);
    }

    TempDir dir_;
    std::string fifoPath_;
    int reader_ = -1;
    int writer_ = -1;
    int fifos_ = 0;
};

// ------------------------------------------------------------ switches

TEST_F(DebugTest, SwitchesSetTheLevelsAndPrintTheirNotices) {
    const std::string syslogTwice = std::string(kSyslogNotice) + kSyslogNotice;
    struct Case {
        const char* label;
        std::vector<std::string> words;
        long argc; // -1: all words
        int level, levelIV, syslog;
        std::string out;
    };
    const Case cases[] = {
        {"no arguments", {"ds"}, -1, 0, 0, 0, ""},
        {"one -v", {"ds", "-v"}, -1, 1, 0, 0, levelNotice(1)},
        {"three -v", {"ds", "-v", "-v", "-v"}, -1, 3, 0, 0, levelNotice(3)},
        {"four -v", {"ds", "-v", "-v", "-v", "-v"}, -1, 4, 0, 0, levelNotice(4) + kLevelIVNotice},
        {"-V alone", {"ds", "-V"}, -1, 0, 1, 0, kLevelIVNotice},
        {"-V twice", {"ds", "-V", "-V"}, -1, 0, 2, 0, kLevelIVNotice},
        {"syslog twice", {"ds", "--syslogtodebug", "--syslogtodebug"}, -1, 0, 0, 1, syslogTwice},
        {"mixed",
         {"ds", "-v", "x.csv", "-V", "--syslogtodebug", "-v"},
         -1,
         2,
         1,
         1,
         kSyslogNotice + levelNotice(2) + kLevelIVNotice},
        {"near misses",
         {"ds", "-vv", "-v ", "-vV", "v", "-", "--v", "-V1", "--syslogtodebugx", "--SYSLOGTODEBUG",
          "-syslogtodebug", ""},
         -1,
         0,
         0,
         0,
         ""},
        {"program name is not a switch", {"-v"}, -1, 0, 0, 0, ""},
        {"words beyond argc", {"ds", "-v", "-v", "-V"}, 2, 1, 0, 0, levelNotice(1)},
        {"argc of zero", {"ds", "-v"}, 0, 0, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        resetLevels();
        EXPECT_EQ(c.out, install(c.words, c.argc));
        EXPECT_EQ(c.level, static_cast<int>(DebugLevel));
        EXPECT_EQ(c.levelIV, static_cast<int>(DebugLevel_IV));
        EXPECT_EQ(c.syslog, static_cast<int>(Syslogtodebug));
    }
}

// ------------------------------------------------------------ level signals

TEST_F(DebugTest, HandlersAreInstalledWithRestartAndAnEmptyMask) {
    struct Case {
        const char* label;
        std::vector<std::string> words;
    };
    const Case cases[] = {{"no switches", {"ds"}}, {"switches", {"ds", "-v", "-V"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        for (int sig : {SIGUSR1, SIGUSR2})
            signal(sig, SIG_DFL);
        install(c.words);
        for (int sig : {SIGUSR1, SIGUSR2}) {
            SCOPED_TRACE(sig);
            struct sigaction action {};
            ASSERT_EQ(0, sigaction(sig, nullptr, &action));
            EXPECT_NE(SIG_DFL, action.sa_handler);
            EXPECT_NE(SIG_IGN, action.sa_handler);
            EXPECT_NE(0, action.sa_flags & SA_RESTART);
            for (int other = 1; other < 32; ++other)
                EXPECT_EQ(0, sigismember(&action.sa_mask, other)) << "signal " << other;
        }
    }
}

TEST_F(DebugTest, LevelSignalsRaiseAndLowerTheLevels) {
    struct Case {
        const char* label;
        int level;
        int levelIV;
        std::vector<int> signals;
        int levelAfter;
        int levelIVAfter;
    };
    const Case cases[] = {
        {"SIGUSR1 raises", 0, 0, {SIGUSR1}, 1, 0},
        {"SIGUSR1 leaves level IV alone", 2, 3, {SIGUSR1, SIGUSR1}, 4, 3},
        {"SIGUSR1 wraps 255 to 0", 255, 1, {SIGUSR1}, 0, 1},
        {"SIGUSR2 lowers the level first", 2, 2, {SIGUSR2}, 1, 2},
        {"SIGUSR2 then takes back -V", 0, 2, {SIGUSR2}, 0, 1},
        {"SIGUSR2 at zero does nothing", 0, 0, {SIGUSR2, SIGUSR2}, 0, 0},
        {"SIGUSR2 in order", 1, 1, {SIGUSR2, SIGUSR2, SIGUSR2}, 0, 0},
        {"up and down", 3, 0, {SIGUSR1, SIGUSR2, SIGUSR2}, 2, 0},
    };
    install({"ds"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DebugLevel = static_cast<unsigned char>(c.level);
        DebugLevel_IV = static_cast<unsigned char>(c.levelIV);
        for (int sig : c.signals)
            deliver(sig);
        EXPECT_EQ(c.levelAfter, static_cast<int>(DebugLevel));
        EXPECT_EQ(c.levelIVAfter, static_cast<int>(DebugLevel_IV));
    }
}

TEST_F(DebugTest, ReadInterruptedByALevelSignalResumes) {
    install({"ds"});
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::atomic<long> result{-2};
    std::atomic<int> error{0};
    std::thread reader([&] {
        char c = 0;
        ssize_t n = read(fds[0], &c, 1);
        error = errno;
        result = static_cast<long>(n);
    });
    // Give the reader time to block in read() before the signal arrives.
    usleep(200000);
    ASSERT_EQ(0, pthread_kill(reader.native_handle(), SIGUSR1));
    usleep(200000);
    ASSERT_EQ(1, write(fds[1], "x", 1));
    reader.join();
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(1, result.load()) << strerror(error.load());
    EXPECT_EQ(1, static_cast<int>(DebugLevel));
}

// ------------------------------------------------------------ standard output

TEST_F(DebugTest, LineFormatToTheCharacter) {
    struct Case {
        ERR_SEVERITY_ENUM severity;
        ERR_NUM_ENUM error;
        const char* file;
        unsigned long line;
        const char* text;
        std::string rest;
    };
    const Case cases[] = {
        {ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 123, "hello", "3  0  debugTest@123:hello"},
        {ERR_SEVERITY_TRACE, ERR_NONE, "wrappers", 225, "Select Timed Out",
         "3  0  wrappers@225:Select Timed Out"},
        {ERR_SEVERITY_ERROR, ERR_SYSTEM_CALL, "wrappers", 0, " lead", "0  62  wrappers@0: lead"},
        {ERR_SEVERITY_PROBLEM, ERR_DB_LIST, "dbList", 123456, "", "1  106  dbList@123456:"},
        {ERR_SEVERITY_TRACE, ERR_NONE, "deviceScan", 145, "100% done",
         "3  0  deviceScan@145:100% done"},
    };
    fflush(stdout);
    testing::internal::CaptureStdout();
    time_t before = time(nullptr);
    for (const Case& c : cases)
        DebugLog(c.severity, c.error, c.file, c.line, "%s", c.text);
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 7, "%s=%d %05.1f|%-3s|%x", "n", -4, 2.5,
             "ab", 255u);
    time_t after = time(nullptr);
    std::vector<std::string> lines = linesOf(testing::internal::GetCapturedStdout());

    ASSERT_EQ(2 + sizeof cases / sizeof cases[0], lines.size());
    EXPECT_EQ(openFailedNotice("No such file or directory"), lines[0]);
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(cases[i].rest);
        expectLine(lines[i + 1], before, after, cases[i].rest);
    }
    expectLine(lines.back(), before, after, "3  0  debugTest@7:n=-4 002.5|ab |ff");
}

TEST_F(DebugTest, UnusablePipeGivesOneNoticeThenEveryLineOnStdout) {
    struct Case {
        const char* label;
        std::function<std::string(const TempDir&)> makePath;
        std::string notice;
    };
    const Case cases[] = {
        {"missing path", [](const TempDir& d) { return d.file("none"); },
         openFailedNotice("No such file or directory")},
        {"FIFO without a reader",
         [](const TempDir& d) {
             std::string path = d.file("fifo");
             EXPECT_EQ(0, mkfifo(path.c_str(), 0600));
             return path;
         },
         kNoServerNotice},
        {"a directory",
         [](const TempDir& d) {
             std::string path = d.file("dir");
             EXPECT_EQ(0, mkdir(path.c_str(), 0700));
             return path;
         },
         openFailedNotice("Is a directory")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        debugResetChannel(c.makePath(dir).c_str());
        DebugLevel = 0; // DebugLog writes whatever the level
        fflush(stdout);
        testing::internal::CaptureStdout();
        time_t before = time(nullptr);
        for (int i = 1; i <= 3; ++i)
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 40, "line %d", i);
        time_t after = time(nullptr);
        std::vector<std::string> lines = linesOf(testing::internal::GetCapturedStdout());
        ASSERT_EQ(4u, lines.size());
        EXPECT_EQ(c.notice, lines[0]);
        for (int i = 1; i <= 3; ++i)
            expectLine(lines[i], before, after, "3  0  debugTest@40:line " + std::to_string(i));
    }
}

TEST_F(DebugTest, ReaderArrivingLaterIsNotUsed) {
    ASSERT_EQ(0, mkfifo(fifoPath_.c_str(), 0600));
    debugResetChannel(fifoPath_.c_str());
    fflush(stdout);
    testing::internal::CaptureStdout();
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 1, "before");
    reader_ = open(fifoPath_.c_str(), O_RDONLY | O_NONBLOCK);
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 2, "after");
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_GE(reader_, 0);
    EXPECT_EQ(1, countOf(out, kNoServerNotice));
    EXPECT_EQ(1, countOf(out, "debugTest@2:after\n"));
    EXPECT_EQ("", drain(reader_));
}

// ------------------------------------------------------------ pipe mode

TEST_F(DebugTest, PipeGetsOneWholeLinePerCall) {
    openPipeWithReader();
    const std::string texts[] = {"plain", "", "tabs\tand  blanks ", "quote \" and 100%",
                                 "Temp \xc2\xb0"
                                 "C"};
    DebugLevel = 0;
    fflush(stdout);
    testing::internal::CaptureStdout();
    unsigned long line = 500;
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        time_t before = time(nullptr);
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", line, "%s", text.c_str());
        time_t after = time(nullptr);
        expectLine(drain(reader_), before, after,
                   "3  0  debugTest@" + std::to_string(line) + ":" + text);
        ++line;
    }
    EXPECT_EQ("", testing::internal::GetCapturedStdout()) << "no notice in pipe mode";
}

TEST_F(DebugTest, LongTextIsCutToOneAtomicLine) {
    openPipeWithReader();
    const std::size_t lengths[] = {0, 300, 460, 480, 1000, 4096, 10000};
    for (std::size_t length : lengths) {
        SCOPED_TRACE(length);
        std::string text;
        for (std::size_t i = 0; i < length; ++i)
            text.push_back(static_cast<char>('a' + i % 26));
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 77, "%s", text.c_str());
        std::string line = drain(reader_);

        ASSERT_FALSE(line.empty());
        EXPECT_EQ('\n', line.back());
        EXPECT_EQ(1, countOf(line, "\n"));
        EXPECT_LE(line.size(), static_cast<std::size_t>(PIPE_BUF));
        const std::string marker = "debugTest@77:";
        std::size_t at = line.find(marker);
        ASSERT_NE(std::string::npos, at);
        std::size_t textStart = at + marker.size();
        std::string kept = line.substr(textStart, line.size() - textStart - 1);
        EXPECT_EQ(text.substr(0, kept.size()), kept) << "text kept from its start";
        std::size_t whole = textStart + text.size() + 1;
        if (whole <= 519)
            EXPECT_EQ(text, kept) << "a line of up to 519 bytes is never cut";
        else
            EXPECT_GE(line.size(), 519u);
    }
}

TEST_F(DebugTest, FullPipeDropsLinesThenMarksTheLoss) {
    struct Case {
        const char* label;
        int dropped;
        std::size_t afterLength;
    };
    const Case cases[] = {
        {"one line dropped", 1, 10},
        {"three lines dropped", 3, 10},
        {"long line after the loss", 2, 6000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        openPipeWithReader();
        openFiller();
        // The channel opens the pipe on its first line.
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 1, "opening");
        ASSERT_NE(std::string::npos, drain(reader_).find("opening"));

        std::size_t filled = fillPipe(writer_);
        ASSERT_GT(filled, 0u);
        fflush(stdout);
        testing::internal::CaptureStdout();
        for (int i = 0; i < c.dropped; ++i)
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 2, "dropped %d", i);
        std::string out = testing::internal::GetCapturedStdout();
        std::string expectedOut;
        for (int i = 0; i < c.dropped; ++i)
            expectedOut += kDropNotice;
        EXPECT_EQ(expectedOut, out) << "a notice per dropped line and nothing else";

        std::string filler = drain(reader_);
        EXPECT_EQ(filled, filler.size());
        EXPECT_EQ(std::string::npos, filler.find_first_not_of('f')) << "no piece of a dropped line";

        std::string after(c.afterLength, 'x');
        time_t before = time(nullptr);
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 3, "%s", after.c_str());
        time_t afterTime = time(nullptr);
        std::string delivered = drain(reader_);
        ASSERT_EQ(0u, delivered.find("LOSTDATA!\n")) << delivered;
        EXPECT_EQ(1, countOf(delivered, "LOSTDATA!"));
        std::string line = delivered.substr(std::string("LOSTDATA!\n").size());
        EXPECT_LE(delivered.size(), static_cast<std::size_t>(PIPE_BUF));
        EXPECT_EQ('\n', delivered.back());
        if (c.afterLength < 100)
            expectLine(line, before, afterTime, "3  0  debugTest@3:" + after);
        else
            EXPECT_EQ(1, countOf(line, "\n"));

        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 4, "next");
        delivered = drain(reader_);
        EXPECT_EQ(std::string::npos, delivered.find("LOSTDATA!")) << "the loss is marked once";
        EXPECT_NE(std::string::npos, delivered.find("debugTest@4:next\n"));
    }
}

// ------------------------------------------------------------ reader goes away

int foreignPipeSignals = 0;
void countPipeSignal(int) {
    ++foreignPipeSignals;
}

TEST_F(DebugTest, ReaderClosingDoesNotEndTheProcess) {
    enum class Host { Default, OwnHandler, Blocked };
    struct Case {
        const char* label;
        Host host;
    };
    const Case cases[] = {
        {"SIGPIPE at its default", Host::Default},
        {"program's own SIGPIPE handler", Host::OwnHandler},
        {"SIGPIPE blocked by the program", Host::Blocked},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        struct sigaction saved {};
        struct sigaction hostAction {};
        hostAction.sa_handler = c.host == Host::OwnHandler ? countPipeSignal : SIG_DFL;
        sigemptyset(&hostAction.sa_mask);
        ASSERT_EQ(0, sigaction(SIGPIPE, &hostAction, &saved));
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        sigset_t oldMask;
        pthread_sigmask(c.host == Host::Blocked ? SIG_BLOCK : SIG_UNBLOCK, &pipeOnly, &oldMask);
        foreignPipeSignals = 0;

        openPipeWithReader();
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 10, "to the server");
        EXPECT_NE(std::string::npos, drain(reader_).find("debugTest@10:to the server\n"));
        close(reader_);
        reader_ = -1;

        fflush(stdout);
        testing::internal::CaptureStdout();
        time_t before = time(nullptr);
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 11, "after close %d", 1);
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugTest", 12, "after close %d", 2);
        time_t after = time(nullptr);
        std::vector<std::string> lines = linesOf(testing::internal::GetCapturedStdout());

        // Still here; the lines went to standard output after one notice.
        ASSERT_EQ(3u, lines.size());
        EXPECT_NE(std::string::npos, lines[0].find("Using printf()")) << lines[0];
        expectLine(lines[1], before, after, "3  0  debugTest@11:after close 1");
        expectLine(lines[2], before, after, "3  0  debugTest@12:after close 2");

        // The program's SIGPIPE set-up is as it was, and nothing is left pending.
        struct sigaction now {};
        ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &now));
        EXPECT_EQ(hostAction.sa_handler, now.sa_handler);
        EXPECT_EQ(0, foreignPipeSignals);
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        EXPECT_EQ(c.host == Host::Blocked ? 1 : 0, sigismember(&mask, SIGPIPE));
        sigset_t pending;
        sigpending(&pending);
        EXPECT_EQ(0, sigismember(&pending, SIGPIPE));

        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
        sigaction(SIGPIPE, &saved, nullptr);
    }
}

// ------------------------------------------------------------ installation failure

int failingSignal = 0;
int sigactionFailingFor(int sig, const struct sigaction* action, struct sigaction* old) {
    if (sig == failingSignal) {
        errno = EINVAL;
        return -1;
    }
    return ::sigaction(sig, action, old);
}

void installWithFailingSigaction(int sig) {
    Syslogtodebug = 1;
    failingSignal = sig;
    debugSetSigaction(sigactionFailingFor);
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
