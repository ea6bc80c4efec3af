// How deviceScan and debugServer start, run as built: with standard
// descriptors closed, asked for help or their version, given a command line
// that debugServer does not understand, and with nowhere to put its output.
#include "programStart.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace testing_support;

const std::string kDeviceScan = launcher() + DEVICESCAN_BINARY;
const std::string kServer = launcher() + DEBUGSERVER_BINARY;

// LINE run by sh in an empty directory beside db, in ZVDB_DIR, and expected,
// two copies of the example database, all writable by anyone; then what is
// in that directory, and how db differs from expected.
std::pair<RunResult, std::string> inScratch(const std::string& line) {
    TempDir dir;
    runCommand("cd " + dir.path() +
               " && cp -r " TEST_SOURCE_DIR "/examples/configdb db && "
               "cp -r db expected && mkdir cwd && chmod -R a+rwX .");
    const std::string cd = "cd " + dir.file("cwd") + " || exit 9; ";
    RunResult run = runCommand(cd + "export ZVDB_DIR=../db; " + line);
    return {run, runCommand(cd + "ls -A; diff -r ../db ../expected").out};
}

// In a child, descriptors 0 and 2 closed, 1 open on the test's output.
TEST(OpenStandardDescriptors, OpensOnlyTheClosedOnesOnDevNull) {
    struct stat null {
    }, out{}, now[3]{};
    ASSERT_TRUE(stat("/dev/null", &null) == 0 && fstat(STDOUT_FILENO, &out) == 0);
    EXPECT_EXIT(
        (close(0), close(2),
         _exit(openStandardDescriptors("t") == 5u && openStandardDescriptors("t") == 0u &&
                       write(2, "x", 1) == 1 && fstat(0, &now[0]) == 0 && fstat(1, &now[1]) == 0 &&
                       fstat(2, &now[2]) == 0 && now[0].st_rdev == null.st_rdev &&
                       now[2].st_rdev == null.st_rdev && now[1].st_ino == out.st_ino
                   ? 0
                   : 1)),
        testing::ExitedWithCode(0), "");
}

// Run as a user who may not keep the tables' owner: the records about it go to
// a closed standard error, which must not be the new table's descriptor.
// Without -v nothing is traced.
TEST(OpenStandardDescriptors, NoRecordLandsInATableWithStandardErrorClosed) {
    const std::string asNobody =
        "setpriv --reuid=65534 --regid=65534 --clear-groups " + kDeviceScan;
    if (geteuid() != 0 || runCommand(asNobody + " --version").status != 0)
        GTEST_SKIP() << "needs root and setpriv, and a build that another user may run";
    const std::string scan = asNobody + " --syslogtodebug ";
    auto [run, changed] =
        inScratch("ZVDB_DIR=../expected " + scan + "2>../err && " + scan + "2>&- && cat ../err");
    const std::string redirecting = "Redirecting all SysLog() to stderr.\n";
    EXPECT_EQ(0u, run.out.find(redirecting + redirecting + "SysLog ")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("cannot keep owner")) << run.out;
    EXPECT_EQ("", changed);
}

// Each command line: exit status, first lines of standard output and standard
// error; no table changed and no file made where it ran.
TEST(ProgramStart, AnswersRefusalsAndOutputThatCannotBeWritten) {
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
        // A line reaches standard output at once; one that cannot be written ends the server.
        {"mkfifo ../p; " + kServer +
             " ../p >../log & echo line >../p; for i in $(seq 600); do "
             "grep -q line ../log && break; sleep 0.05; done; kill $!; cat ../log",
         0, "line\n", ""},
        {"mkfifo ../q; timeout 60 " + kServer + " ../q >/dev/full & echo line >../q; wait $!", 1,
         "", "debugServer: standard output: No space left on device\n"},
    };
    for (const auto& [line, status, out, err] : cases) {
        auto [run, changed] = inScratch(line);
        EXPECT_EQ(std::tuple(status, out, err, std::string()),
                  std::tuple(run.status, run.out.substr(0, run.out.find('\n') + 1),
                             run.err.substr(0, run.err.find('\n') + 1), changed))
            << line;
    }
}

} // namespace
