// The trace channel: switches and level signals, lines on standard output and
// in a real FIFO (cut to one write, full, closed under the writer), and fork().
#include "runtimeTestSupport.h"

#include <climits>

void trace(unsigned long line, const char* text = "x", const char* file = "t") {
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, file, line, "%s", text);
}

class DebugTest : public RuntimeTest {
  protected:
    DebugTest() { mkfifo(fifo_.c_str(), 0600); }
    ~DebugTest() override { close(reader_); }
    void openPipe() {
        reader_ = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
        debugResetChannel(fifo_.c_str());
    }
    std::string drain() const {
        std::string data(1 << 17, '\0');
        ssize_t n = read(reader_, &data[0], data.size());
        return data.substr(0, n > 0 ? std::size_t(n) : 0);
    }
    // text with the stamp of each line that PID wrote since the test began
    // replaced by "T ".
    std::string unstamped(std::string text, pid_t pid = getpid()) const {
        for (time_t t = time(nullptr); t >= start_; --t) {
            struct tm local {};
            char stamp[64];
            strftime(stamp, sizeof stamp, "%d-%m-%Y %H:%M:%S :  pid (", localtime_r(&t, &local));
            std::string head = stamp + std::to_string(pid) + ") ";
            for (std::size_t at; (at = text.find(head)) != std::string::npos;)
                text.replace(at, head.size(), "T ");
        }
        return text;
    }
    const time_t start_ = time(nullptr);
    testing_support::TempDir dir_;
    std::string fifo_ = dir_.file("fifo");
    int reader_ = -1;
};

TEST_F(DebugTest, SwitchesAndLevelSignalsSetTheLevels) {
    const std::string up = "Increasing debug verbosity level to ";
    const std::string iv = "Turning on special debug level IV.\n";
    const std::tuple<int, std::vector<const char*>, std::string, std::string> cases[] = {
        {5, {"ds", "-v", "-v", "-v", "-v"}, "4 0 0", up + "4.\n" + iv},
        {7,
         {"ds", "-v", nullptr, "x", "-V", "--syslogtodebug", "-v"},
         "2 1 1",
         "Redirecting all SysLog() to stderr.\n" + up + "2.\n" + iv},
        {5, {"-v", "-vv", "-V1", "--SYSLOGTODEBUG", "v"}, "0 0 0", ""},
        {2, {"ds", "-V", "-v"}, "0 1 0", iv},
    };
    auto levels = [] {
        return std::to_string(DebugLevel) + " " + std::to_string(DebugLevel_IV) + " " +
               std::to_string(Syslogtodebug);
    };
    for (const auto& [argc, words, set, out] : cases) {
        DebugLevel = DebugLevel_IV = Syslogtodebug = 0;
        EXPECT_EQ(stdoutOf([&] { InstallDebug(argc, const_cast<char**>(words.data())); }), out);
        EXPECT_EQ(levels(), set);
    }
    // 255 wraps; SIGUSR2 takes the level first, then -V, never below 0.
    DebugLevel = 255, DebugLevel_IV = 2;
    for (auto [sig, set] : {std::pair(SIGUSR1, "0 2 0"),
                            {SIGUSR1, "1 2 0"},
                            {SIGUSR2, "0 2 0"},
                            {SIGUSR2, "0 1 0"},
                            {SIGUSR2, "0 0 0"},
                            {SIGUSR2, "0 0 0"}}) {
        struct sigaction action {};
        EXPECT_TRUE(sigaction(sig, nullptr, &action) == 0 && (action.sa_flags & SA_RESTART) != 0);
        EXPECT_TRUE(raise(sig) == 0 && levels() == set) << levels() << " not " << set;
    }
}

// A line too long for the pipe is cut to one write that still ends with its
// newline; nothing is squeezed in after a cut file name.
TEST_F(DebugTest, LinesGoToStdoutWithoutAServerAndWholeIntoThePipe) {
    const std::string longText(5000, 't'), longName(2000, 'f');
    auto lines = [&] {
        DebugLog(ERR_SEVERITY_ERROR, ERR_SYSTEM_CALL, "wrappers", 0, "%s", " lead");
        DebugLog(ERR_SEVERITY_PROBLEM, ERR_DB_LIST, "dbList", 123456, "%s=%d %05.1f|%-3s|%x", "n",
                 -4, 2.5, "ab", 255u);
        trace(7, longText.c_str());
        trace(8, "X", longName.c_str());
    };
    const std::string head = "T 0  62  wrappers@0: lead\nT 1  106  dbList@123456:n=-4 002.5|ab "
                             "|ff\nT 3  0  t@7:ttttt";
    debugResetChannel(fifo_.c_str()); // nobody reads it
    std::string out = stdoutOf(lines);
    EXPECT_EQ(unstamped(out).find("Debug server is not running. Using printf() for debug o/p.\n" +
                                  head + longText.substr(5) + "\nT 3  0  ff"),
              0u);
    EXPECT_EQ(out.substr(out.size() - 4), "ffX\n");
    openPipe();
    EXPECT_EQ(stdoutOf(lines), "") << "no notice in pipe mode";
    std::string got = drain();
    std::size_t from = got.rfind('\n', got.find("t@7:")) + 1, to = got.find('\n', from) + 1;
    EXPECT_EQ(unstamped(got).find(head), 0u);
    EXPECT_TRUE(to - from >= 518 && to - from <= PIPE_BUF && got[to - 2] == 't') << to - from;
    EXPECT_TRUE(got.size() - to <= PIPE_BUF && got.substr(got.size() - 3) == "ff\n");
}

// A full pipe drops lines and marks the loss once. A debug server that goes
// away ends neither the process nor what the program set up for SIGPIPE.
TEST_F(DebugTest, FullPipeDropsLinesAndAClosedOneSendsThemToStdout) {
    openPipe();
    trace(1);
    ASSERT_EQ(countOf(drain(), "t@1:x\n"), 1);
    int filler = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
    std::size_t filled = 0; // in ever smaller pieces, each written whole or not at all
    for (std::size_t piece = 4096; piece > 0; piece /= 2)
        for (ssize_t n; (n = write(filler, std::string(piece, 'f').data(), piece)) > 0;)
            filled += std::size_t(n);
    const std::string drop = "REMOVE ME! Dropping debug string as write pipe is full!\n";
    EXPECT_EQ(stdoutOf([] { trace(2), trace(3); }), drop + drop);
    EXPECT_EQ(drain(), std::string(filled, 'f')) << "no piece of a dropped line";
    trace(4);
    EXPECT_EQ(unstamped(drain()), "LOSTDATA!\nT 3  0  t@4:x\n");

    sighandler_t host = signal(SIGPIPE, SIG_DFL);
    close(filler), close(std::exchange(reader_, -1));
    EXPECT_EQ(unstamped(stdoutOf([] { trace(5), trace(6); })),
              "Debug server closed the debug pipe. Using printf() for debug o/p.\n"
              "T 3  0  t@5:x\nT 3  0  t@6:x\n");
    sigset_t mask, pending;
    EXPECT_TRUE(pthread_sigmask(SIG_SETMASK, nullptr, &mask) == 0 && sigpending(&pending) == 0);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE) || sigismember(&pending, SIGPIPE));
    signal(SIGPIPE, host);
}

// The child closes its standard output, so that the pipe opens as descriptor 1.
TEST_F(DebugTest, ForkedChildTracesUnderItsOwnIdIntoThePipe) {
    stdoutOf([] { trace(1); }); // the parent's id is known
    openPipe();
    pid_t child = fork();
    if (child == 0) {
        close(STDOUT_FILENO);
        trace(2);
        _exit(0);
    }
    int status = -1;
    EXPECT_TRUE(waitpid(child, &status, 0) == child && status == 0);
    EXPECT_EQ(unstamped(drain(), child), "T 3  0  t@2:x\n");
}

int failingSignal = 0;

TEST(DebugDeathTest, FailedHandlerInstallationLogsAndAborts) {
    Syslogtodebug = 1;
    debugSetSigaction([](int s, const struct sigaction* action, struct sigaction* old) {
        return s == failingSignal ? (errno = EINVAL, -1) : sigaction(s, action, old);
    });
    for (auto [sig, number, line, change] :
         {std::tuple(SIGUSR1, 1, 185, "increase"), {SIGUSR2, 2, 192, "decrease"}})
        EXPECT_EXIT((failingSignal = sig, InstallDebug(0, nullptr)),
                    testing::KilledBySignal(SIGABRT),
                    "SysLog debug@" + std::to_string(line) +
                        ": severity 0 error 3: Could Not install signal handler for sigusr" +
                        std::to_string(number) + " \\(" + change + " DebugLevel\\)\\.\n");
    debugSetSigaction(nullptr);
    Syslogtodebug = 0;
}
