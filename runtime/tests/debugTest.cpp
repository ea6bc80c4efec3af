// The trace channel: switches and level signals, lines on standard output and
// in a real FIFO (cut to one write, full, closed under the writer), and fork().
#include "runtimeTestSupport.h"

#include <iomanip>
#include <thread>

void trace(unsigned long line, const char* text = "x", const char* file = "t") {
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, file, line, "%s", text);
}

// TEXT with the time stamp and id of every line of PID replaced by "T ". The
// date is today's, or just after midnight an hour ago's.
std::string unstamped(const std::string& text, pid_t pid = getpid()) {
    time_t now = time(nullptr), hourAgo = now - 3600;
    tm today{}, before{};
    localtime_r(&now, &today);
    localtime_r(&hourAgo, &before);
    std::ostringstream date;
    date << std::put_time(&today, "(%d-%m-%Y|") << std::put_time(&before, "%d-%m-%Y)");
    const std::string stamp = date.str() + " \\d\\d:\\d\\d:\\d\\d :  pid \\(";
    return std::regex_replace(text, std::regex(stamp + std::to_string(pid) + "\\) "), "T ");
}

// Calls f TIMES over on each of COUNT threads at once.
template <typename F> void onThreads(int count, int times, F f) {
    std::vector<std::thread> threads(static_cast<std::size_t>(count));
    for (std::thread& thread : threads)
        thread = std::thread([=] {
            for (int i = 0; i < times; ++i)
                f();
        });
    for (std::thread& thread : threads)
        thread.join();
}

struct DebugTest : RuntimeTest {
    DebugTest() { mkfifo(fifo.c_str(), 0600); }
    ~DebugTest() override { close(reader); }
    void openPipe() {
        reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        debugResetChannel(fifo.c_str());
    }
    std::string drain() const {
        std::string data(1 << 17, '\0');
        return data.substr(0, std::size_t(std::max(0L, long(read(reader, &data[0], data.size())))));
    }
    TempDir dir;
    std::string fifo = dir.file("fifo");
    int reader = -1;
};

// raise() returns after the handler has run: SIGUSR2 lowers the level, then -V, never below 0.
TEST_F(DebugTest, SwitchesAndLevelSignalsSetTheLevels) {
    const std::string up = "Increasing debug verbosity level to ";
    const std::string iv = "Turning on special debug level IV.\n";
    const std::tuple<int, std::vector<const char*>, std::string> cases[] = {
        {7,
         {"ds", "-v", nullptr, "x", "-V", "--syslogtodebug", "-v"},
         "Redirecting all SysLog() to stderr.\n" + up + "2.\n" + iv + "2 1 1"},
        {5, {"-v", "-vv", "-V1", "--SYSLOGTODEBUG", "-v", "-V"}, up + "1.\n1 0 0"},
        {4, {"ds", "-v", "-v", "-v", "-v"}, up + "3.\n3 0 0"}};
    auto levels = [] {
        return std::to_string(DebugLevel) + " " + std::to_string(DebugLevel_IV) + " " +
               std::to_string(Syslogtodebug);
    };
    for (const auto& [argc, words, printed] : cases) {
        DebugLevel = DebugLevel_IV = Syslogtodebug = 0;
        std::string out = stdoutOf([&] { InstallDebug(argc, const_cast<char**>(words.data())); });
        EXPECT_EQ(out + levels(), printed);
    }
    DebugLevel = 255;
    DebugLevel_IV = 2;
    std::string steps;
    for (int sig : {SIGUSR1, SIGUSR1, SIGUSR2, SIGUSR2, SIGUSR2, SIGUSR2})
        steps += (raise(sig), levels()) + ",";
    EXPECT_EQ(steps, "0 2 0,1 2 0,0 2 0,0 1 0,0 0 0,0 0 0,");
    onThreads(4, 2000, [] { raise(SIGUSR1); });
    EXPECT_EQ(int(DebugLevel), 4 * 2000 % 256);
}

// Without a server (a regular file is none), the lines of several threads reach standard output
// whole; into the pipe, a line too long is cut to one write that still ends with its newline.
TEST_F(DebugTest, LinesGoWholeToStdoutWithoutAServerAndCutIntoThePipe) {
    const std::string longText(5000, 't'), longName(2000, 'f');
    auto lines = [&] {
        DebugLog(ERR_SEVERITY_ERROR, ERR_SYSTEM_CALL, "w", 0, "%s=%d|%-3s|", " n", -4, "a");
        DebugLog(ERR_SEVERITY_PROBLEM, ERR_DB_LIST, "d", 123456, "%s", longText.c_str());
        trace(8, "X", longName.c_str());
    };
    const std::string pid = " :  pid (" + std::to_string(getpid()) + ") ";
    const std::string shown[] = {pid + "0  62  w@0: n=-4|a  |\n",
                                 pid + "1  106  d@123456:" + longText + "\n", pid + "3  0  ff",
                                 "ffX\n"};
    const std::string notice = "Debug server is not running. Using printf() for debug o/p.\n";
    writeFile(dir.file("file"), "kept");
    debugResetChannel(dir.file("file").c_str());
    std::string out = stdoutOf([&] { onThreads(6, 200, lines); });
    EXPECT_EQ(countOf(out, notice), 1);
    EXPECT_EQ(countOf(out, "\n"), 1 + 3 * 6 * 200);
    for (const std::string& line : shown)
        EXPECT_EQ(countOf(out, line), 6 * 200) << line.substr(0, 30);
    openPipe();
    EXPECT_EQ(stdoutOf(lines), "") << "no notice in pipe mode";
    std::string got = unstamped(drain());
    std::size_t from = got.find('\n') + 1, to = got.find('\n', from) + 1;
    EXPECT_EQ(got.find("T 0  62  w@0: n=-4|a  |\nT 1  106  d@123456:ttttt"), 0u);
    EXPECT_TRUE(to - from >= 518 && to - from <= PIPE_BUF && got[to - 2] == 't') << to - from;
    EXPECT_TRUE(got.size() - to <= PIPE_BUF && got.substr(got.size() - 3) == "ff\n");
}

// A debug server that goes away ends neither the process nor what it set up for SIGPIPE.
TEST_F(DebugTest, FullPipeDropsLinesAndAClosedOneSendsThemToStdout) {
    openPipe();
    int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    std::size_t filled = write(filler, std::string(1 << 20, 'f').data(), 1 << 20); // all it holds
    const std::string drop = "REMOVE ME! Dropping debug string as write pipe is full!\n";
    EXPECT_EQ(stdoutOf([] { trace(2), trace(3); }), drop + drop);
    // The notice is out at once, not when the process flushes its output.
    EXPECT_EXIT((dup2(STDERR_FILENO, STDOUT_FILENO), trace(3), _exit(0)),
                testing::ExitedWithCode(0), "^" + drop + "$");
    EXPECT_EQ(drain(), std::string(filled, 'f')) << "no piece of a dropped line";
    trace(4);
    EXPECT_EQ(unstamped(drain()), "LOSTDATA!\nT 3  0  t@4:x\n");
    sighandler_t host = signal(SIGPIPE, SIG_DFL);
    close(filler);
    close(std::exchange(reader, -1));
    EXPECT_EQ(unstamped(stdoutOf([] { trace(5), trace(6); })),
              "Debug server closed the debug pipe. Using printf() for debug o/p.\n"
              "T 3  0  t@5:x\nT 3  0  t@6:x\n");
    sigset_t mask, pending;
    EXPECT_TRUE(pthread_sigmask(SIG_SETMASK, nullptr, &mask) == 0 && sigpending(&pending) == 0);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE) || sigismember(&pending, SIGPIPE));
    signal(SIGPIPE, host);
}

// The child's pipe opens as descriptor 0, which means standard-output mode, and is moved to 1.
TEST_F(DebugTest, ForkedChildTracesUnderItsOwnIdIntoThePipe) {
    openPipe(); // the parent's id is known already
    pid_t child = fork();
    if (child == 0) {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        trace(2);
        _exit(0);
    }
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_EQ(unstamped(drain(), child), "T 3  0  t@2:x\n");
}

TEST_F(DebugTest, FailedHandlerInstallationLogsAndAborts) {
    static int failing;
    debugSetSigaction([](int s, const struct sigaction* action, struct sigaction* old) {
        return s == failing ? (errno = EINVAL, -1) : sigaction(s, action, old);
    });
    const std::string record = "severity 0 error 3: Could Not install signal handler for sigusr";
    for (auto [sig, where, change] :
         {std::tuple(SIGUSR1, "185", "1 \\(increase"), {SIGUSR2, "192", "2 \\(decrease"}})
        EXPECT_EXIT((failing = sig, InstallDebug(0, nullptr)), testing::KilledBySignal(SIGABRT),
                    "SysLog debug@" + (where + (": " + record)) + change + " DebugLevel\\)\\.\n");
    debugSetSigaction(nullptr);
}
