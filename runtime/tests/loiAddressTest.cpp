// Operator-panel address file and upgrade watchdog. The files live in a
// scratch directory, "ps" is a script that lists what each test prepares
// (tests/fakeBin/ps), uploads are real sleeping processes that the module's
// kill must end, and the upgrade's waits are counted instead of sat out.
#include "loiAddress.h"
#include "loiAddressInternal.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::writeFile;

const std::string kOldFile =
    "LOI-IP-ADDRESS:10.0.0.5 \nGC-IP-ADDRESS-FOR_LOI-COMMUNICATION:10.0.0.4\n";

// Waits asked for, and whether the reboot flag existed at each.
std::vector<unsigned int> sleeps;
std::vector<bool> flagAtSleep;
std::string flagPath;
unsigned int countSleep(unsigned int seconds) {
    sleeps.push_back(seconds);
    flagAtSleep.push_back(fileExists(flagPath));
    return 0;
}

// A caller's buffer of 16 (address) or 10 (process id) bytes, with room
// behind it so that a write past it shows.
struct Buffer {
    char bytes[48];
    explicit Buffer(const char* start) {
        std::memset(bytes, 'X', sizeof bytes);
        std::strcpy(bytes, start);
    }
    std::string text() const { return bytes; }
    bool untouchedFrom(std::size_t from) const {
        return std::string(bytes + from, sizeof bytes - from) ==
               std::string(sizeof bytes - from, 'X');
    }
};

bool isRunning(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "State:") == 0)
            return line.find_first_of("ZX") == std::string::npos;
    return false;
}

std::vector<pid_t> pidsIn(const std::string& path) {
    std::vector<pid_t> pids;
    std::ifstream in(path);
    for (long pid; in >> pid;)
        pids.push_back(static_cast<pid_t>(pid));
    return pids;
}

// What the address file's directory holds.
std::string entriesIn(const std::string& directory) {
    return testing_support::runCommand("ls -A '" + directory + "'").out;
}

class LoiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        flagPath = work_.file("NeedToManuallyRebootGC");
        sleeps.clear();
        flagAtSleep.clear();
        environment_ = {addressFile_.c_str(), flagPath.c_str(), countSleep};
        loiSetEnvironment(&environment_);
        const char* path = std::getenv("PATH");
        oldPath_ = path != nullptr ? path : "/usr/bin:/bin";
        std::string fakes = std::string(TEST_SOURCE_DIR) + "/runtime/tests/fakeBin";
        ASSERT_EQ(access((fakes + "/ps").c_str(), X_OK), 0) << "fake ps is not executable";
        setenv("PATH", (work_.path() + ":" + fakes + ":" + oldPath_).c_str(), 1);
        setenv("FAKE_PS_CALLS", work_.file("psCalls").c_str(), 1);
        setenv("FAKE_PS_LISTING", listing_.c_str(), 1);
        setenv("FAKE_PS_UPLOADS", uploads_.c_str(), 1);
    }
    void TearDown() override {
        for (pid_t pid : pidsIn(uploads_))
            kill(pid, SIGKILL);
        loiSetEnvironment(nullptr);
        setenv("PATH", oldPath_.c_str(), 1);
        for (const char* name :
             {"FAKE_PS_CALLS", "FAKE_PS_LISTING", "FAKE_PS_UPLOADS", "FAKE_PS_TIMES"})
            unsetenv(name);
    }

    int psCalls() const {
        return testing_support::countOf(readFile(work_.file("psCalls")), "call\n");
    }
    // A shell command that starts one upload that runs until killed.
    std::string startUpload() const {
        return "sleep 1000 </dev/null >/dev/null 2>&1 & echo $! >>'" + uploads_ + "'";
    }

    testing_support::TempDir dir_;  // the address file alone
    testing_support::TempDir work_; // everything else
    std::string addressFile_ = dir_.file("Loi_Ip_Address.txt");
    std::string listing_ = work_.file("listing");
    std::string uploads_ = work_.file("uploads");
    std::string oldPath_;
    LoiEnvironment environment_{};
};

TEST_F(LoiTest, ReadsTheSelectedAddressOrLeavesTheBufferAlone) {
    struct Case {
        const char* content; // null: no file
        int which, result;
        const char* address;
    } const cases[] = {
        {kOldFile.c_str(), 0, 1, "10.0.0.5"},
        {kOldFile.c_str(), 1, 1, "10.0.0.4"},
        {"LOI-IP-ADDRESS:   255.255.255.255", 0, 1, "255.255.255.255"},
        {"LOI-IP-ADDRESS:255.255.255.2555\n", 0, 1, "unchanged"},
        {"LOI-ADDRESS:10.0.0.1\n", 0, 1, "unchanged"},
        {"GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:1.1.1.1\n", 1, 1, "1.1.1.1"}, // line 1 again
        {kOldFile.c_str(), 2, 0, "unchanged"},
        {"", 0, 0, "unchanged"},
        {nullptr, 0, 0, "unchanged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content != nullptr ? c.content : "(no file)");
        unlink(addressFile_.c_str());
        if (c.content != nullptr)
            writeFile(addressFile_, c.content);
        Buffer address("unchanged");
        EXPECT_EQ(getGcLOIIpAddress(address.bytes, static_cast<GC_LOI_INTERFACE_ENUM>(c.which)),
                  c.result);
        EXPECT_EQ(address.text(), c.address);
        EXPECT_TRUE(address.untouchedFrom(16));
    }
}

TEST_F(LoiTest, AnalyserTakesTheLastNumberOneLowerAnd255ForZeroAndOne) {
    struct Case {
        const char *panel, *analyser;
    } const cases[] = {
        {"192.168.5.2", "192.168.5.1"},
        {"10.1.2.1", "10.1.2.255"},
        {"10.1.2.0", "10.1.2.255"},
        {"10.1.2.255", "10.1.2.254"},
        {"4294967295.4294967295.4294967295.7", "4294967295.4294"}, // cut at 16 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.panel);
        Buffer analyser("");
        makeGcLOIIpAddress(c.panel, analyser.bytes);
        EXPECT_EQ(analyser.text(), c.analyser);
        EXPECT_TRUE(analyser.untouchedFrom(16));
    }
}

TEST_F(LoiTest, RewriteReplacesTheFileWholeWithExactlyTheTwoLines) {
    writeFile(addressFile_, kOldFile + "an older third line that must go\n");
    int reader = open(addressFile_.c_str(), O_RDONLY);
    ASSERT_EQ(setGcLOIIpAddress("192.168.1.0"), 1);
    EXPECT_EQ(readFile(addressFile_), "LOI-IP-ADDRESS:192.168.1.0 \n"
                                      "GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:192.168.1.255\n");
    EXPECT_EQ(entriesIn(dir_.path()), "Loi_Ip_Address.txt\n") << "no temporary file is left behind";
    char seen[200] = {};
    EXPECT_GT(read(reader, seen, sizeof seen - 1), 0);
    close(reader);
    EXPECT_EQ(std::string(seen), kOldFile + "an older third line that must go\n")
        << "an open reader keeps the file it opened";

    std::string nowhere = dir_.file("missing/Loi_Ip_Address.txt");
    LoiEnvironment elsewhere = {nowhere.c_str(), flagPath.c_str(), nullptr};
    loiSetEnvironment(&elsewhere);
    EXPECT_EQ(setGcLOIIpAddress("10.0.0.7"), 0) << "a file it cannot write";
}

TEST_F(LoiTest, RewriteRefusesAnythingButDottedDecimalAndLeavesTheFileAlone) {
    std::string marker = work_.file("injected");
    std::string injection = "1.2.3.4; touch " + marker;
    std::string substitution = "1.2.3.$(touch " + marker + ")";
    for (const char* text : {injection.c_str(), substitution.c_str(), "256.1.1.1", "1.2.3.256",
                             "1.2.3", "1.2.3.4.5", "", "1.2.3.4 ", "1.2.3.4\n", "1..2.3",
                             "01.2.3.4", "+1.2.3.4", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(text != nullptr ? text : "(null)");
        writeFile(addressFile_, kOldFile);
        EXPECT_EQ(setGcLOIIpAddress(text), 0);
        EXPECT_EQ(readFile(addressFile_), kOldFile);
        EXPECT_EQ(entriesIn(dir_.path()), "Loi_Ip_Address.txt\n");
    }
    EXPECT_FALSE(fileExists(marker)) << "the address reached a shell";
}

TEST_F(LoiTest, OnlyTheFirstListedFtpputLineCounts) {
    struct Case {
        const char* listed;
        int result;
        const char* processId;
    } const cases[] = {
        {"  123 root 1234 S init\n  400 root 1234 S ftpput h upgrade_LOI.txt\n", 1, "400"},
        {"100 root ftpput h other.bin\n200 root ftpput h upgrade_LOI.txt\n", 0, "sentinel"},
        {"300 root FTPPUT h upgrade_LOI.txt\n", 0, "sentinel"},
        {"500 root grep ftpput upgrade_LOI.txt\n600 root ftpput h upgrade_LOI.txt\n", 1, "600"},
        {"123456789 root ftpput h upgrade_LOI.txt\n", 1, "123456789"},
        {"1234567890 root ftpput h upgrade_LOI.txt\n", 1, "sentinel"},
        {"", 0, "sentinel"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.listed);
        writeFile(listing_, c.listed);
        Buffer processId("sentinel");
        EXPECT_EQ(findLOIUpgradeUpload(processId.bytes), c.result);
        EXPECT_EQ(processId.text(), c.processId);
        EXPECT_TRUE(processId.untouchedFrom(10));
        EXPECT_EQ(findLOIUpgradeUpload(nullptr), c.result) << "without asking for the id";
    }
}

TEST_F(LoiTest, KillEndsEveryListedUploadAndPassesOnlyAProcessIdToTheShell) {
    ASSERT_EQ(std::system(startUpload().c_str()), 0);
    ASSERT_EQ(pidsIn(uploads_).size(), 1u);
    killLOIUpgradeUploads();
    EXPECT_FALSE(isRunning(pidsIn(uploads_)[0]));
    EXPECT_EQ(findLOIUpgradeUpload(nullptr), 0);

    // A process that ignores the kill, listed on the first three looks only.
    std::string stubborn = work_.file("stubborn");
    ASSERT_EQ(
        std::system(("(trap '' TERM; exec sleep 1000) </dev/null >/dev/null 2>&1 & echo $! >'" +
                     stubborn + "'")
                        .c_str()),
        0);
    pid_t survivor = pidsIn(stubborn).at(0);
    std::string marker = work_.file("injected");
    writeFile(work_.file("pwn"), "#!/bin/sh\ntouch '" + marker + "'\n");
    chmod(work_.file("pwn").c_str(), 0755);
    struct Case {
        std::string listed;
        const char* times;
        int psCalls;
    } const cases[] = {
        {std::to_string(survivor) + " root ftpput h upgrade_LOI.txt\n", "3", 4},
        {";pwn root ftpput h upgrade_LOI.txt\n", "1", 1},
        {"100 root ftpput h other.bin\n", "9", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.listed);
        writeFile(listing_, c.listed);
        unlink(work_.file("psCalls").c_str());
        setenv("FAKE_PS_TIMES", c.times, 1);
        killLOIUpgradeUploads();
        EXPECT_EQ(psCalls(), c.psCalls);
    }
    EXPECT_TRUE(isRunning(survivor)) << "it ignored every kill";
    kill(survivor, SIGKILL);
    EXPECT_FALSE(fileExists(marker)) << "a word from the listing ran as a command";
}

TEST_F(LoiTest, UpgradeRetriesAHangingUploadAndFlagsTheThirdFailureOnce) {
    std::string runs = work_.file("runs");
    std::string count = "echo run >>'" + runs + "'";
    // The first run starts an upload that hangs, the second none.
    std::string secondWorks = "if [ -f '" + runs + "' ]; then " + count + "; else " + count + "; " +
                              startUpload() + "; fi";
    struct Case {
        std::string command;
        std::vector<unsigned int> sleeps;
        const char* runs;
        bool flag;
    } const cases[] = {
        {"", {}, "", false},
        {count, {3}, "run\n", false},
        {secondWorks, {3, 30, 3}, "run\nrun\n", false},
        {count + "; " + startUpload(), {3, 30, 3, 30, 3, 30}, "run\nrun\nrun\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        unlink(runs.c_str());
        sleeps.clear();
        flagAtSleep.clear();
        runLOIUpgrade(c.command.c_str());
        EXPECT_EQ(readFile(runs), c.runs);
        EXPECT_EQ(sleeps, c.sleeps);
        for (pid_t pid : pidsIn(uploads_))
            EXPECT_FALSE(isRunning(pid)) << "upload " << pid << " was not killed";
        EXPECT_EQ(flagAtSleep, std::vector<bool>(c.sleeps.size(), false)) << "flag written early";
        EXPECT_EQ(fileExists(flagPath) ? readFile(flagPath) : "none", c.flag ? "\n" : "none");
    }
    runLOIUpgrade(nullptr);
    EXPECT_EQ(sleeps.size(), 6u) << "a missing command runs nothing";
}

} // namespace
