// Operator-panel address file and upgrade watchdog. The files live in a
// scratch directory, "ps" is a script that lists what each test prepares
// (tests/fakeBin/ps), uploads are real sleeping processes that the module's
// kill must end, and the upgrade's waits are counted instead of sat out.
#include "loiAddress.h"
#include "loiAddressInternal.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

const char *const kAddressName = "Loi_Ip_Address.txt";
const char *const kFlagName = "NeedToManuallyRebootGC";
const char *const kUploadLine =
    "  123 root      1234 S    ftpput -u root 1.2.3.4 upgrade_LOI.txt\n";

// Waits asked for, and whether the reboot flag existed at each.
std::vector<unsigned int> sleeps;
std::vector<bool> flagAtSleep;
std::string flagPath;

unsigned int countSleep(unsigned int seconds) {
    sleeps.push_back(seconds);
    flagAtSleep.push_back(fileExists(flagPath));
    return 0;
}

// A buffer with room beyond the 16 bytes a caller must provide, so that a
// write past them shows.
struct GuardedBuffer {
    static const std::size_t kCallerSize = 16;
    char bytes[48];
    explicit GuardedBuffer(const char *start) {
        std::memset(bytes, 'X', sizeof bytes);
        std::memcpy(bytes, start, std::strlen(start) + 1);
    }
    std::string text() const { return std::string(bytes, strnlen(bytes, sizeof bytes)); }
    bool untouchedFrom(std::size_t from) const {
        for (std::size_t i = from; i < sizeof bytes; ++i)
            if (bytes[i] != 'X')
                return false;
        return true;
    }
};

bool isRunning(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "State:") == 0)
            return line.find('Z') == std::string::npos && line.find('X') == std::string::npos;
    return false;
}

std::vector<pid_t> pidsIn(const std::string &path) {
    std::vector<pid_t> pids;
    std::ifstream in(path);
    for (long pid; in >> pid;)
        pids.push_back(static_cast<pid_t>(pid));
    return pids;
}

std::set<std::string> namesIn(const std::string &directory) {
    std::set<std::string> names;
    DIR *dir = opendir(directory.c_str());
    while (dir != nullptr) {
        dirent *entry = readdir(dir);
        if (entry == nullptr)
            break;
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.insert(name);
    }
    if (dir != nullptr)
        closedir(dir);
    return names;
}

class LoiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        addressFile_ = dir_.file(kAddressName);
        flagPath = dir_.file(kFlagName);
        sleeps.clear();
        flagAtSleep.clear();
        environment_ = {addressFile_.c_str(), flagPath.c_str(), countSleep};
        loiSetEnvironment(&environment_);

        bin_ = work_.file("bin");
        mkdir(bin_.c_str(), 0755);
        const char *path = std::getenv("PATH");
        oldPath_ = path != nullptr ? path : "/usr/bin:/bin";
        std::string fakes = std::string(TEST_SOURCE_DIR) + "/runtime/tests/fakeBin";
        ASSERT_EQ(access((fakes + "/ps").c_str(), X_OK), 0) << "fake ps is not executable";
        setenv("PATH", (bin_ + ":" + fakes + ":" + oldPath_).c_str(), 1);
        setenv("FAKE_PS_CALLS", psCalls().c_str(), 1);
        setenv("FAKE_PS_LISTING", listing().c_str(), 1);
        setenv("FAKE_PS_UPLOADS", uploads().c_str(), 1);
        unsetenv("FAKE_PS_TIMES");
    }
    void TearDown() override {
        for (pid_t pid : pidsIn(uploads()))
            kill(pid, SIGKILL);
        loiSetEnvironment(nullptr);
        setenv("PATH", oldPath_.c_str(), 1);
        unsetenv("FAKE_PS_CALLS");
        unsetenv("FAKE_PS_LISTING");
        unsetenv("FAKE_PS_UPLOADS");
        unsetenv("FAKE_PS_TIMES");
    }

    std::string psCalls() const { return work_.file("psCalls"); }
    std::string listing() const { return work_.file("listing"); }
    std::string uploads() const { return work_.file("uploads"); }
    int psCallCount() const { return testing_support::countOf(readFile(psCalls()), "call\n"); }

    // A shell command that starts one upload that runs until killed.
    std::string startUpload() const {
        return "sleep 1000 </dev/null >/dev/null 2>&1 & echo $! >>'" + uploads() + "'";
    }

    // The address files (dir_) apart from the scaffolding (work_).
    TempDir dir_;
    TempDir work_;
    std::string addressFile_;
    std::string bin_;
    std::string oldPath_;
    LoiEnvironment environment_{};
};

// ---- Reading an address ----

TEST_F(LoiTest, ReadsTheSelectedAddressOrLeavesTheBufferAlone) {
    const char *const kBoth = "LOI-IP-ADDRESS:192.168.1.10 \n"
                              "GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:192.168.1.9\n";
    const char *const kUnchanged = "unchanged";
    std::string tooLong = "LOI-IP-ADDRESS:" + std::string(180, '7') + "\n";
    struct Case {
        const char *what;
        const char *content; // null: no file
        int which;
        int result;
        const char *address;
    } const cases[] = {
        {"panel address, trailing blank dropped", kBoth, 0, 1, "192.168.1.10"},
        {"analyser address", kBoth, 1, 1, "192.168.1.9"},
        {"blanks after the key are skipped", "LOI-IP-ADDRESS:   10.0.0.1\n", 0, 1, "10.0.0.1"},
        {"no newline at the end", "LOI-IP-ADDRESS:10.0.0.1", 0, 1, "10.0.0.1"},
        {"longest address", "LOI-IP-ADDRESS:255.255.255.255\n", 0, 1, "255.255.255.255"},
        {"16 characters are too many", "LOI-IP-ADDRESS:255.255.255.2555\n", 0, 1, kUnchanged},
        {"far too long", tooLong.c_str(), 0, 1, kUnchanged},
        {"only line 1, line 2 asked", "LOI-IP-ADDRESS:10.0.0.1 \n", 1, 1, kUnchanged},
        {"another key", "LOI-ADDRESS:10.0.0.1\n", 0, 1, kUnchanged},
        {"key without address", "LOI-IP-ADDRESS: \n", 0, 1, kUnchanged},
        {"line 2 missing: line 1 is scanned", "GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:1.1.1.1\n", 1, 1,
         "1.1.1.1"},
        {"selector 2", kBoth, 2, 0, kUnchanged},
        {"negative selector", kBoth, -1, 0, kUnchanged},
        {"empty file", "", 0, 0, kUnchanged},
        {"no file", nullptr, 0, 0, kUnchanged},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(addressFile_.c_str());
        if (c.content != nullptr)
            writeFile(addressFile_, c.content);
        GuardedBuffer address(kUnchanged);
        EXPECT_EQ(getGcLOIIpAddress(address.bytes, static_cast<GC_LOI_INTERFACE_ENUM>(c.which)),
                  c.result);
        EXPECT_EQ(address.text(), c.address);
        EXPECT_TRUE(address.untouchedFrom(GuardedBuffer::kCallerSize));
    }
}

TEST_F(LoiTest, ReadsTheFileAfreshOnEveryCall) {
    char address[16] = {};
    writeFile(addressFile_, "LOI-IP-ADDRESS:10.0.0.1\n");
    ASSERT_EQ(getGcLOIIpAddress(address, LOI_IP_ADDRESS), 1);
    EXPECT_STREQ(address, "10.0.0.1");
    writeFile(addressFile_, "LOI-IP-ADDRESS:10.0.0.2\n");
    ASSERT_EQ(getGcLOIIpAddress(address, LOI_IP_ADDRESS), 1);
    EXPECT_STREQ(address, "10.0.0.2");
}

// ---- Deriving the analyser's address ----

TEST_F(LoiTest, AnalyserTakesTheLastNumberOneLowerAnd255ForZeroAndOne) {
    struct Case {
        const char *panel;
        const char *analyser;
    } const cases[] = {
        {"192.168.5.10", "192.168.5.9"}, {"10.1.2.2", "10.1.2.1"},
        {"10.1.2.1", "10.1.2.255"},      {"10.1.2.0", "10.1.2.255"},
        {"10.1.2.255", "10.1.2.254"},    {"255.254.253.100", "255.254.253.99"},
        {"10.1.2", "10.1.2.255"},        {"", "0.0.0.255"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.panel);
        GuardedBuffer analyser("");
        makeGcLOIIpAddress(c.panel, analyser.bytes);
        EXPECT_EQ(analyser.text(), c.analyser);
    }
}

TEST_F(LoiTest, DerivationNeverWritesPastSixteenBytes) {
    GuardedBuffer analyser("");
    makeGcLOIIpAddress("4294967295.4294967295.4294967295.7", analyser.bytes);
    EXPECT_EQ(analyser.text().size(), 15u);
    EXPECT_TRUE(analyser.untouchedFrom(GuardedBuffer::kCallerSize));
}

// ---- Rewriting the address file ----

TEST_F(LoiTest, RewriteLeavesExactlyTheTwoLinesAndReadsBack) {
    writeFile(addressFile_, "LOI-IP-ADDRESS:10.9.9.9 \nGC-IP-ADDRESS-FOR_LOI-COMMUNICATION:"
                            "10.9.9.8\nan older third line that must go\n");
    ASSERT_EQ(setGcLOIIpAddress("192.168.1.10"), 1);
    EXPECT_EQ(readFile(addressFile_), "LOI-IP-ADDRESS:192.168.1.10 \n"
                                      "GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:192.168.1.9\n");
    char address[16] = {};
    EXPECT_EQ(getGcLOIIpAddress(address, LOI_IP_ADDRESS), 1);
    EXPECT_STREQ(address, "192.168.1.10");
    EXPECT_EQ(getGcLOIIpAddress(address, GC_IP_ADDRESS_FOR_LOI), 1);
    EXPECT_STREQ(address, "192.168.1.9");
    EXPECT_EQ(namesIn(dir_.path()), std::set<std::string>{kAddressName})
        << "no temporary file is left behind";
}

TEST_F(LoiTest, RewriteTakesTheWholeRangeOfEachNumber) {
    struct Case {
        const char *panel;
        const char *analyser;
    } const cases[] = {
        {"0.0.0.0", "0.0.0.255"},
        {"255.255.255.255", "255.255.255.254"},
        {"1.22.133.1", "1.22.133.255"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.panel);
        ASSERT_EQ(setGcLOIIpAddress(c.panel), 1);
        char address[16] = {};
        EXPECT_EQ(getGcLOIIpAddress(address, LOI_IP_ADDRESS), 1);
        EXPECT_STREQ(address, c.panel);
        EXPECT_EQ(getGcLOIIpAddress(address, GC_IP_ADDRESS_FOR_LOI), 1);
        EXPECT_STREQ(address, c.analyser);
    }
}

TEST_F(LoiTest, RewriteRefusesAnythingButDottedDecimalAndLeavesTheFileAlone) {
    const std::string before = "LOI-IP-ADDRESS:10.0.0.5 \nGC-IP-ADDRESS-FOR_LOI-COMMUNICATION:"
                               "10.0.0.4\n";
    std::string marker = work_.file("injected");
    std::string injection = "1.2.3.4; touch " + marker;
    std::string substitution = "1.2.3.$(touch " + marker + ")";
    const char *const cases[] = {
        injection.c_str(),
        substitution.c_str(),
        "256.1.1.1",
        "1.2.3.256",
        "1.2.3",
        "1.2.3.4.5",
        "",
        " 1.2.3.4",
        "1.2.3.4 ",
        "1.2.3.4\n",
        "a.b.c.d",
        "1..2.3",
        "1.2.3.-4",
        "01.2.3.4",
        "1.2.3.0004",
        "+1.2.3.4",
        "1.2.3.4.",
        nullptr,
    };
    for (const char *text : cases) {
        SCOPED_TRACE(text != nullptr ? text : "(null)");
        writeFile(addressFile_, before);
        EXPECT_EQ(setGcLOIIpAddress(text), 0);
        EXPECT_EQ(readFile(addressFile_), before);
        EXPECT_EQ(namesIn(dir_.path()), std::set<std::string>{kAddressName});
    }
    EXPECT_FALSE(fileExists(marker)) << "the address reached a shell";
}

TEST_F(LoiTest, RewriteReplacesTheFileWholeSoOpenReadersKeepTheOldOne) {
    const std::string before = "LOI-IP-ADDRESS:10.0.0.5 \nGC-IP-ADDRESS-FOR_LOI-COMMUNICATION:"
                               "10.0.0.4\n";
    writeFile(addressFile_, before);
    int reader = open(addressFile_.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(setGcLOIIpAddress("10.0.0.7"), 1);
    char seen[200] = {};
    ssize_t got = read(reader, seen, sizeof seen - 1);
    close(reader);
    EXPECT_EQ(std::string(seen, got > 0 ? static_cast<std::size_t>(got) : 0), before);
    EXPECT_EQ(readFile(addressFile_), "LOI-IP-ADDRESS:10.0.0.7 \n"
                                      "GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:10.0.0.6\n");
}

TEST_F(LoiTest, RewriteReportsAFileItCannotWrite) {
    std::string nowhere = dir_.file("missing/Loi_Ip_Address.txt");
    LoiEnvironment elsewhere = {nowhere.c_str(), flagPath.c_str(), countSleep};
    loiSetEnvironment(&elsewhere);
    EXPECT_EQ(setGcLOIIpAddress("10.0.0.7"), 0);
    EXPECT_FALSE(fileExists(nowhere));
}

// ---- Looking for an upgrade upload ----

TEST_F(LoiTest, OnlyTheFirstListedFtpputLineCounts) {
    const char *const kUnchanged = "sentinel";
    struct Case {
        const char *what;
        const char *listed;
        int result;
        const char *processId;
    } const cases[] = {
        {"upload", kUploadLine, 1, "123"},
        {"other processes are filtered out",
         "    1 root      1000 S    init\n  400 root      1234 S    ftpput h upgrade_LOI.txt\n", 1,
         "400"},
        {"upload listed second",
         "  100 root      1234 S    ftpput h other.bin\n  200 root      1234 S    ftpput h "
         "upgrade_LOI.txt\n",
         0, kUnchanged},
        {"program name in capitals", "  300 root      1234 S    FTPPUT h upgrade_LOI.txt\n", 0,
         kUnchanged},
        {"the grep itself is filtered out",
         "  500 root      1234 S    grep ftpput upgrade_LOI.txt\n  600 root      1234 S    ftpput "
         "h upgrade_LOI.txt\n",
         1, "600"},
        {"another file", "  700 root      1234 S    ftpput h upgrade.txt\n", 0, kUnchanged},
        {"nine-character id", "123456789 root ftpput h upgrade_LOI.txt\n", 1, "123456789"},
        {"ten-character first word", "1234567890 root ftpput h upgrade_LOI.txt\n", 1, kUnchanged},
        {"nothing listed", "", 0, kUnchanged},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(listing(), c.listed);
        unlink(psCalls().c_str());
        GuardedBuffer processId(kUnchanged);
        EXPECT_EQ(findLOIUpgradeUpload(processId.bytes), c.result);
        EXPECT_EQ(processId.text(), c.processId);
        EXPECT_TRUE(processId.untouchedFrom(10));
        EXPECT_EQ(findLOIUpgradeUpload(nullptr), c.result) << "without asking for the id";
        EXPECT_EQ(psCallCount(), 2);
    }
}

// ---- Killing upgrade uploads ----

TEST_F(LoiTest, KillEndsARunningUpload) {
    ASSERT_EQ(std::system(startUpload().c_str()), 0);
    std::vector<pid_t> started = pidsIn(uploads());
    ASSERT_EQ(started.size(), 1u);
    ASSERT_TRUE(isRunning(started[0]));
    ASSERT_EQ(findLOIUpgradeUpload(nullptr), 1);

    killLOIUpgradeUploads();
    EXPECT_FALSE(isRunning(started[0]));
    EXPECT_EQ(findLOIUpgradeUpload(nullptr), 0);
}

TEST_F(LoiTest, KillGoesOnWhileTheUploadIsStillListed) {
    // An upload that ignores the kill is listed on the first three looks only.
    std::string stubborn = "(trap '' TERM; exec sleep 1000) </dev/null >/dev/null 2>&1 & "
                           "echo $! >'" +
                           work_.file("stubborn") + "'";
    ASSERT_EQ(std::system(stubborn.c_str()), 0);
    std::vector<pid_t> started = pidsIn(work_.file("stubborn"));
    ASSERT_EQ(started.size(), 1u);
    writeFile(listing(), std::to_string(started[0]) + " root 1234 S ftpput h upgrade_LOI.txt\n");
    setenv("FAKE_PS_TIMES", "3", 1);

    killLOIUpgradeUploads();
    EXPECT_EQ(psCallCount(), 4) << "three kills, then a look that finds nothing";
    EXPECT_TRUE(isRunning(started[0])) << "the upload ignored the kill";
    kill(started[0], SIGKILL);
}

TEST_F(LoiTest, KillPassesOnlyAProcessIdToTheShell) {
    std::string marker = work_.file("injected");
    writeFile(bin_ + "/pwn", "#!/bin/sh\ntouch '" + marker + "'\n");
    chmod((bin_ + "/pwn").c_str(), 0755);
    writeFile(listing(), ";pwn root 1234 S ftpput h upgrade_LOI.txt\n");
    setenv("FAKE_PS_TIMES", "1", 1);

    killLOIUpgradeUploads();
    EXPECT_FALSE(fileExists(marker)) << "a word from the listing ran as a command";
    EXPECT_EQ(psCallCount(), 1);
}

TEST_F(LoiTest, KillStopsAtOnceWhenNothingIsListed) {
    writeFile(listing(), "  100 root      1234 S    ftpput h other.bin\n");
    killLOIUpgradeUploads();
    EXPECT_EQ(psCallCount(), 1);
}

// ---- Running an upgrade ----

TEST_F(LoiTest, EmptyUpgradeCommandRunsNothingAndDoesNotWait) {
    runLOIUpgrade("");
    runLOIUpgrade(nullptr);
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(psCallCount(), 0);
    EXPECT_FALSE(fileExists(flagPath));
}

TEST_F(LoiTest, UpgradeWhoseUploadHasEndedRunsOnce) {
    std::string runs = work_.file("runs");
    runLOIUpgrade(("echo run >>'" + runs + "'").c_str());
    EXPECT_EQ(readFile(runs), "run\n");
    EXPECT_EQ(sleeps, (std::vector<unsigned int>{3}));
    EXPECT_EQ(psCallCount(), 1);
    EXPECT_FALSE(fileExists(flagPath));
}

TEST_F(LoiTest, UpgradeThatSucceedsOnTheSecondAttemptStopsThere) {
    // The first run starts an upload that hangs; the second starts none.
    std::string runs = work_.file("runs");
    std::string command = "if [ -f '" + runs + "' ]; then echo run >>'" + runs +
                          "'; else echo run >>'" + runs + "'; " + startUpload() + "; fi";
    runLOIUpgrade(command.c_str());
    EXPECT_EQ(readFile(runs), "run\nrun\n");
    EXPECT_EQ(sleeps, (std::vector<unsigned int>{3, 30, 3}));
    for (pid_t pid : pidsIn(uploads()))
        EXPECT_FALSE(isRunning(pid)) << "upload " << pid << " was not killed";
    EXPECT_FALSE(fileExists(flagPath));
}

TEST_F(LoiTest, UpgradeThatHangsThreeTimesLeavesTheRebootFlagOnce) {
    runLOIUpgrade(startUpload().c_str());
    std::vector<pid_t> started = pidsIn(uploads());
    EXPECT_EQ(started.size(), 3u) << "three runs of the command";
    for (pid_t pid : started)
        EXPECT_FALSE(isRunning(pid)) << "upload " << pid << " was not killed";
    EXPECT_EQ(sleeps, (std::vector<unsigned int>{3, 30, 3, 30, 3, 30}));
    EXPECT_EQ(flagAtSleep, std::vector<bool>(6, false)) << "flag written before the last kill";
    EXPECT_EQ(readFile(flagPath), "\n");
}

} // namespace
