// How deviceScan and debugServer start, run as built: with standard
// descriptors closed, asked for help or their version, given a command line
// that debugServer does not understand, and with nowhere to put its output.
#include "programStart.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using namespace testing_support;

const std::string kDeviceScan = launcher() + DEVICESCAN_BINARY;
const std::string kServer = launcher() + DEBUGSERVER_BINARY;

// The example database twice (db, and expected to compare it with) and an
// empty working directory, all writable by anyone.
struct Scratch : TempDir {
    Scratch() {
        runCommand("cd " + path() +
                   " && cp -r " TEST_SOURCE_DIR "/examples/configdb db && "
                   "cp -r db expected && mkdir cwd && chmod -R a+rwX .");
    }
    RunResult run(const std::string& line) const {
        return runCommand("cd " + file("cwd") + " || exit 9; export ZVDB_DIR=" + file("db") + "; " +
                          line);
    }
};

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n') + 1);
}

// In a child, so that the test's own descriptors stay as they are.
TEST(OpenStandardDescriptors, OpensOnlyTheClosedOnesOnDevNull) {
    pid_t child = fork();
    if (child == 0) {
        struct stat null {
        }, out{}, now{}, in{}, err{};
        stat("/dev/null", &null);
        fstat(STDOUT_FILENO, &out);
        close(STDIN_FILENO);
        close(STDERR_FILENO);
        bool ok = openStandardDescriptors("t") == 5u && openStandardDescriptors("t") == 0u &&
                  fstat(STDIN_FILENO, &in) == 0 && in.st_rdev == null.st_rdev &&
                  fstat(STDERR_FILENO, &err) == 0 && err.st_rdev == null.st_rdev &&
                  write(STDERR_FILENO, "x", 1) == 1 && fstat(STDOUT_FILENO, &now) == 0 &&
                  now.st_ino == out.st_ino;
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    EXPECT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, status);
}

// Run as a user who may not keep the tables' owner: the records about it go to
// a closed standard error, which must not be the new table's descriptor.
TEST(OpenStandardDescriptors, NoRecordLandsInATableWithStandardErrorClosed) {
    const std::string asNobody =
        "setpriv --reuid=65534 --regid=65534 --clear-groups " + kDeviceScan;
    Scratch scratch;
    if (geteuid() != 0 || scratch.run(asNobody + " --version").status != 0)
        GTEST_SKIP() << "needs root and setpriv, and a build that another user may run";
    // Without -v nothing is traced.
    RunResult open = scratch.run("ZVDB_DIR=../expected " + asNobody + " --syslogtodebug");
    EXPECT_EQ("Redirecting all SysLog() to stderr.\n", open.out);
    EXPECT_NE(std::string::npos, open.err.find("cannot keep owner")) << open.err;
    EXPECT_EQ(0, scratch.run(asNobody + " --syslogtodebug 2>&-").status);
    EXPECT_EQ("", scratch.run("diff -r ../db ../expected").out);
}

// Each command line in a fresh scratch directory: exit status, first lines of
// standard output and standard error; no table changed and no file made.
TEST(ProgramStart, AnswersAndRefusalsChangeNothing) {
    const std::string usage = "Usage: debugServer [--] [PIPE]\n";
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        {kDeviceScan + " -v --help", 0, "Usage: deviceScan [-v]... [-V]... [--syslogtodebug]\n",
         ""},
        {kDeviceScan + " --version -v", 0, "deviceScan " DEVICESCAN_VERSION "\n", ""},
        {kDeviceScan + " --help >/dev/full", 1, "",
         "deviceScan: standard output: No space left on device\n"},
        {kServer + " pipe --help", 0, usage, ""},
        {kServer + " -v", 2, "", usage},
        {kServer + " -", 2, "", usage},
        {kServer + " -- p1 -p2", 2, "", usage},
        {kServer + " p >&-", 1, "", "debugServer: standard output is closed\n"},
    };
    for (const auto& [line, status, out, err] : cases) {
        Scratch scratch;
        RunResult run = scratch.run(line);
        EXPECT_EQ(std::tuple(status, out, err),
                  std::tuple(run.status, firstLine(run.out), firstLine(run.err)))
            << line;
        EXPECT_EQ("", scratch.run("ls -A; diff -r ../db ../expected").out) << line;
    }
}

// A line in the pipe reaches standard output at once; output that cannot be
// written ends the server with status 1.
TEST(DebugServer, CopiesEachLineAtOnceAndEndsWhenItCannotWriteIt) {
    // Waits up to 30 s for a shell condition to hold.
    auto until = [](const std::string& condition) {
        return "for i in $(seq 600); do " + condition + " && break; sleep 0.05; done; ";
    };
    Scratch scratch;
    const std::string copied = kServer + " p >log & " + until("[ -p p ]") + "echo line >p; " +
                               until("grep -q line log") + "kill $!; cat log";
    EXPECT_EQ("line\n", scratch.run(copied).out);
    const std::string full = "timeout 60 " + kServer + " q >/dev/full & " + until("[ -p q ]") +
                             "echo line >q; wait $!; echo $?";
    const std::string noSpace = "debugServer: standard output: No space left on device\n";
    RunResult run = scratch.run(full);
    EXPECT_EQ(std::make_pair(std::string("1\n"), noSpace), std::make_pair(run.out, run.err));
}

} // namespace
