// How deviceScan and debugServer start: with standard descriptors closed, asked for help or their
// version, given a command line debugServer does not understand, and with nowhere to put output.
#include "programStart.h"
#include "runtimeTestSupport.h"

const std::string kDeviceScan = launcher() + DEVICESCAN_BINARY;
const std::string kServer = launcher() + DEBUGSERVER_BINARY;

// LINE run in an empty directory beside db (ZVDB_DIR), a copy of the example database; then what
// is in that directory, and how db differs from the example.
std::pair<RunResult, std::string> inScratch(const std::string& line) {
    TempDir dir;
    runCommand("cd " + dir.path() +
               " && cp -r " TEST_SOURCE_DIR "/examples/configdb db && "
               "cp -r db expected && mkdir cwd");
    const std::string cd = "cd " + dir.file("cwd") + " || exit 9; ";
    RunResult run = runCommand(cd + "export ZVDB_DIR=../db; " + line);
    return {run, runCommand(cd + "ls -A; diff -r ../db ../expected").out};
}

// In a child, descriptors 0 and 2 closed, 1 open on the test's output.
TEST(OpenStandardDescriptors, OpensOnlyTheClosedOnesOnDevNull) {
    struct stat st[5] = {}; // /dev/null, the output, and in the child descriptors 0 to 2
    ASSERT_TRUE(stat("/dev/null", &st[0]) == 0 && fstat(STDOUT_FILENO, &st[1]) == 0);
    EXPECT_EXIT(
        (close(0), close(2),
         _exit(openStandardDescriptors("t") == 5u && openStandardDescriptors("t") == 0u &&
                       write(2, "x", 1) == 1 && fstat(0, &st[2]) == 0 && fstat(1, &st[3]) == 0 &&
                       fstat(2, &st[4]) == 0 && st[2].st_rdev == st[0].st_rdev &&
                       st[4].st_rdev == st[0].st_rdev && st[3].st_ino == st[1].st_ino
                   ? 0
                   : 1)),
        testing::ExitedWithCode(0), "");
}

// Each command line: exit status, first lines of standard output and standard
// error; no table changed and no file made where it ran.
TEST(ProgramStart, AnswersRefusalsAndOutputThatCannotBeWritten) {
    const std::string usage = "Usage: debugServer [--] [PIPE]\n";
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        {kDeviceScan + " -v --help", 0,
         "Usage: deviceScan [-n | --dry-run] [-v]... [-V]... [--syslogtodebug]\n", ""},
        {kDeviceScan + " --version -v", 0, "deviceScan " DEVICESCAN_VERSION "\n", ""},
        {kDeviceScan + " --version >&-", 0, "", ""}, // answered into /dev/null
        {kDeviceScan + " --help >/dev/full", 1, "",
         "deviceScan: standard output: No space left on device\n"},
        {kServer + " pipe --help", 0, usage, ""},
        {kServer + " -v", 2, "", usage},
        {kServer + " -- p1 -p2", 2, "", usage},
        {kServer + " p >&-", 1, "", "debugServer: standard output is closed\n"},
        // A line that cannot be written ends the server.
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
