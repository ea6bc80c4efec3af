// Operator-panel address file and upgrade watchdog. The files live in a
// scratch directory, "ps" is a script that lists what each test prepares
// (tests/fakeBin/ps), uploads are real sleeping processes that the module's
// kill must end, and the upgrade's waits are counted instead of sat out.
// write() and fsync() are wrapped at link time (-Wl,--wrap): writes can be
// made short, and every sync records the file it synced.
#include "loiAddress.h"
#include "loiAddressInternal.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

bool shortWrites = false;        // each write() takes half of what it is asked
std::vector<std::string> synced; // what each fsync() synced

extern "C" ssize_t __real_write(int fd, const void* data, size_t size);
extern "C" ssize_t __wrap_write(int fd, const void* data, size_t size) {
    return __real_write(fd, data, shortWrites ? (size + 1) / 2 : size);
}
extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd) {
    char path[PATH_MAX] = {};
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    synced.push_back(n > 0 ? path : "?");
    return __real_fsync(fd);
}

namespace {

using testing_support::countOf;
using testing_support::fileExists;
using testing_support::readFile;
using testing_support::writeFile;

const std::string kOldFile =
    "LOI-IP-ADDRESS:10.0.0.5 \nGC-IP-ADDRESS-FOR_LOI-COMMUNICATION:10.0.0.4\n";

std::vector<unsigned int> sleeps; // the upgrade's waits, in seconds

// A caller's buffer with room behind it, so that a write past SIZE shows.
struct Buffer {
    char bytes[48];
    explicit Buffer(const char* start) {
        std::memset(bytes, 'X', sizeof bytes);
        std::strcpy(bytes, start);
    }
    bool endsWithin(std::size_t size) const {
        return std::string(bytes + size, sizeof bytes - size) ==
               std::string(sizeof bytes - size, 'X');
    }
};

class LoiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sleeps.clear();
        loiSetEnvironment(&environment_);
        std::string fakes = std::string(TEST_SOURCE_DIR) + "/runtime/tests/fakeBin";
        setenv("PATH", (work_.path() + ":" + fakes + ":" + oldPath_).c_str(), 1);
        setenv("FAKE_PS_CALLS", work_.file("psCalls").c_str(), 1);
        setenv("FAKE_PS_LISTING", listing_.c_str(), 1);
        setenv("FAKE_PS_UPLOADS", uploads_.c_str(), 1);
    }
    void TearDown() override {
        EXPECT_NE(std::system(("cat " + uploads_ + " 2>/dev/null | xargs -r kill -9").c_str()), -1);
        loiSetEnvironment(nullptr);
        setenv("PATH", oldPath_.c_str(), 1);
        unsetenv("FAKE_PS_TIMES");
    }
    // What the address file's directory holds.
    std::string entries() const { return testing_support::runCommand("ls -A " + dir_.path()).out; }

    testing_support::TempDir dir_;  // the address file alone
    testing_support::TempDir work_; // everything else
    std::string addressFile_ = dir_.file("Loi_Ip_Address.txt");
    std::string flagFile_ = work_.file("NeedToManuallyRebootGC");
    std::string listing_ = work_.file("listing");
    std::string uploads_ = work_.file("uploads");
    std::string oldPath_ = std::getenv("PATH");
    LoiEnvironment environment_{addressFile_.c_str(), flagFile_.c_str(),
                                [](unsigned int seconds) { return sleeps.push_back(seconds), 0u; }};
};

TEST_F(LoiTest, ReadsTheSelectedAddressOrLeavesTheBufferAlone) {
    const struct {
        const char* content; // null: no file
        int which, result;
        const char* address;
    } cases[] = {
        {kOldFile.c_str(), 0, 1, "10.0.0.5"},
        {kOldFile.c_str(), 1, 1, "10.0.0.4"},
        {"LOI-IP-ADDRESS:   255.255.255.255", 0, 1, "255.255.255.255"},
        {"LOI-IP-ADDRESS:255.255.255.2555\n", 0, 1, "unchanged"}, // 16 characters
        {"LOI-ADDRESS:10.0.0.1\n", 0, 1, "unchanged"},
        {"GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:1.1.1.1\n", 1, 1, "1.1.1.1"}, // line 1 again
        {kOldFile.c_str(), 2, 0, "unchanged"},
        {nullptr, 0, 0, "unchanged"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content != nullptr ? c.content : "(no file)");
        unlink(addressFile_.c_str());
        if (c.content != nullptr)
            writeFile(addressFile_, c.content);
        Buffer address("unchanged");
        EXPECT_EQ(getGcLOIIpAddress(address.bytes, GC_LOI_INTERFACE_ENUM(c.which)), c.result);
        EXPECT_STREQ(address.bytes, c.address);
        EXPECT_TRUE(address.endsWithin(16));
    }
}

TEST_F(LoiTest, AnalyserTakesTheLastNumberOneLowerAnd255ForZeroAndOne) {
    const std::pair<const char*, const char*> cases[] = {
        {"192.168.5.2", "192.168.5.1"},
        {"10.1.2.1", "10.1.2.255"},
        {"10.1.2.0", "10.1.2.255"},
        {"4294967295.4294967295.4294967295.7", "4294967295.4294"}, // cut at 16 bytes
    };
    for (const auto& [panel, analyser] : cases) {
        Buffer derived("");
        makeGcLOIIpAddress(panel, derived.bytes);
        EXPECT_STREQ(derived.bytes, analyser);
        EXPECT_TRUE(derived.endsWithin(16)) << panel;
    }
}

// Written in short pieces and synced, then renamed over the old file, and the
// rename synced in the file's own directory.
TEST_F(LoiTest, RewriteReplacesTheFileWholeWithExactlyTheTwoLines) {
    writeFile(addressFile_, kOldFile);
    int reader = open(addressFile_.c_str(), O_RDONLY);
    synced.clear();
    shortWrites = true;
    EXPECT_EQ(setGcLOIIpAddress("192.168.1.0"), 1);
    shortWrites = false;
    EXPECT_EQ(readFile(addressFile_), "LOI-IP-ADDRESS:192.168.1.0 \n"
                                      "GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:192.168.1.255\n");
    EXPECT_EQ(entries(), "Loi_Ip_Address.txt\n") << "no temporary file is left behind";
    char* directory = realpath(dir_.path().c_str(), nullptr);
    ASSERT_EQ(synced.size(), 2u);
    EXPECT_EQ(synced[0].find(directory + std::string("/Loi_Ip_Address.txt.")), 0u) << synced[0];
    EXPECT_EQ(synced[1], directory);
    std::free(directory);
    char seen[200] = {};
    EXPECT_GT(read(reader, seen, sizeof seen - 1), 0);
    close(reader);
    EXPECT_EQ(seen, kOldFile) << "an open reader keeps the file it opened";

    std::string nowhere = dir_.file("missing/Loi_Ip_Address.txt");
    environment_.addressFile = nowhere.c_str();
    EXPECT_EQ(setGcLOIIpAddress("10.0.0.7"), 0) << "a file it cannot write";
}

TEST_F(LoiTest, RewriteRefusesAnythingButDottedDecimalAndLeavesTheFileAlone) {
    std::string marker = work_.file("injected");
    std::string injection = "1.2.3.4; touch " + marker;
    std::string substitution = "1.2.3.$(touch " + marker + ")";
    for (const char* text :
         {injection.c_str(), substitution.c_str(), "256.1.1.1", "1.2.3", "1.2.3.4.5", "",
          "1.2.3.4 ", "01.2.3.4", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(text != nullptr ? text : "(null)");
        writeFile(addressFile_, kOldFile);
        EXPECT_EQ(setGcLOIIpAddress(text), 0);
        EXPECT_EQ(readFile(addressFile_), kOldFile);
        EXPECT_EQ(entries(), "Loi_Ip_Address.txt\n");
    }
    EXPECT_FALSE(fileExists(marker)) << "the address reached a shell";
}

TEST_F(LoiTest, OnlyTheFirstListedFtpputLineCounts) {
    const struct {
        const char* listed;
        int result;
        const char* processId;
    } cases[] = {
        {"  123 root 1234 S init\n  400 root 1234 S ftpput h upgrade_LOI.txt\n", 1, "400"},
        {"100 root ftpput h other.bin\n200 root ftpput h upgrade_LOI.txt\n", 0, "sentinel"},
        {"300 root FTPPUT h upgrade_LOI.txt\n", 0, "sentinel"},
        {"500 root grep ftpput upgrade_LOI.txt\n600 root ftpput h upgrade_LOI.txt\n", 1, "600"},
        {"123456789 root ftpput h upgrade_LOI.txt\n", 1, "123456789"},
        {"1234567890 root ftpput h upgrade_LOI.txt\n", 1, "sentinel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listed);
        writeFile(listing_, c.listed);
        Buffer processId("sentinel");
        EXPECT_EQ(findLOIUpgradeUpload(processId.bytes), c.result);
        EXPECT_STREQ(processId.bytes, c.processId);
        EXPECT_TRUE(processId.endsWithin(10));
        EXPECT_EQ(findLOIUpgradeUpload(nullptr), c.result) << "without asking for the id";
    }
}

// An upload listed three times is killed three times (999999999 is above any
// process id). Only a process id reaches the shell: no other word, and no
// empty one when the first word is too long to be an id.
TEST_F(LoiTest, KillRepeatsWhileListedAndPassesOnlyAProcessIdToTheShell) {
    std::string marker = work_.file("injected");
    writeFile(work_.file("pwn"), "#!/bin/sh\ntouch '" + marker + "'\n");
    chmod(work_.file("pwn").c_str(), 0755);
    const struct {
        const char* listed;
        const char* times; // how many looks list it
        int psCalls;
    } cases[] = {
        {"999999999 root ftpput h upgrade_LOI.txt\n", "3", 4},
        {";pwn root ftpput h upgrade_LOI.txt\n", "1", 1},
        {"1234567890 root ftpput h upgrade_LOI.txt\n", "1", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listed);
        writeFile(listing_, c.listed);
        unlink(work_.file("psCalls").c_str());
        setenv("FAKE_PS_TIMES", c.times, 1);
        killLOIUpgradeUploads();
        EXPECT_EQ(countOf(readFile(work_.file("psCalls")), "call\n"), c.psCalls);
    }
    EXPECT_FALSE(fileExists(marker)) << "a word from the listing ran as a command";
}

TEST_F(LoiTest, UpgradeRetriesAHangingUploadAndFlagsTheThirdFailureOnce) {
    std::string runs = work_.file("runs");
    std::string count = "echo run >>'" + runs + "'";
    std::string upload = "sleep 1000 </dev/null >/dev/null 2>&1 & echo $! >>'" + uploads_ + "'";
    // The first run starts an upload that hangs, the second none.
    // (An if, not &&: "a && b &" would put the test itself in the background.)
    std::string secondWorks =
        count + "; if [ \"$(cat '" + runs + "')\" = run ]; then " + upload + "; fi";
    const struct {
        std::string command;
        std::vector<unsigned int> sleeps;
        const char* runs;
        bool flag;
    } cases[] = {
        {"", {}, "", false},
        {count, {3}, "run\n", false},
        {secondWorks, {3, 30, 3}, "run\nrun\n", false},
        {count + "; " + upload, {3, 30, 3, 30, 3, 30}, "run\nrun\nrun\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        unlink(runs.c_str());
        sleeps.clear();
        runLOIUpgrade(c.command.c_str());
        EXPECT_EQ(readFile(runs), c.runs);
        EXPECT_EQ(sleeps, c.sleeps);
        EXPECT_EQ(findLOIUpgradeUpload(nullptr), 0) << "an upload was left running";
        EXPECT_EQ(fileExists(flagFile_) ? readFile(flagFile_) : "none", c.flag ? "\n" : "none");
    }
    runLOIUpgrade(nullptr);
    EXPECT_EQ(sleeps.size(), 6u) << "a missing command runs nothing";
}

} // namespace
