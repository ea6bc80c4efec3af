// The operator-panel address file and upgrade watchdog in scratch directories, "ps" a script
// (fakeBin/ps), waits counted; writes can be made short and each sync notes its file.
#include "loiAddress.h"
#include "loiAddressInternal.h"
#include "runtimeTestSupport.h"
#include "wholeFileOs.h"

bool shortWrites = false;        // each write() takes half of what it is asked
std::vector<std::string> synced; // what each fsync() synced, a temporary name's random part cut
std::vector<unsigned int> sleeps;

ssize_t watchedWrite(int fd, const void* data, size_t size) {
    return write(fd, data, shortWrites ? (size + 1) / 2 : size);
}
int watchedFsync(int fd) {
    char path[PATH_MAX];
    std::string at = realpath(("/proc/self/fd/" + std::to_string(fd)).c_str(), path) ? path : "";
    synced.push_back(std::regex_replace(at, std::regex("\\.tmp......$"), ".tmp"));
    return fsync(fd);
}

// The lowest descriptor free: the same before and after a call that leaks none.
int lowestFree() {
    int fd = dup(0);
    close(fd);
    return fd;
}

// What FILL leaves in a buffer of "unchanged", a blank and its result; nothing past SIZE bytes.
std::string filled(std::size_t size, const std::function<int(char*)>& fill) {
    char text[48] = "unchanged";
    std::memset(text + 10, 'X', sizeof text - 11);
    std::string result = " " + std::to_string(fill(text));
    EXPECT_EQ(std::string(text + size), std::string(sizeof text - 1 - size, 'X'));
    return text + result;
}

struct LoiTest : ::testing::Test {
    LoiTest() {
        loiSetEnvironment(&environment_);
        wholeFileOs().write = watchedWrite;
        wholeFileOs().fsync = watchedFsync;
        setenv("PATH",
               (TEST_SOURCE_DIR "/runtime/tests/fakeBin:" + work_.path() + ":" + path_).c_str(), 1);
        setenv("FAKE_PS_DIR", work_.path().c_str(), 1);
    }
    ~LoiTest() override {
        runCommand("xargs kill -9 <" + work_.file("uploads"));
        loiSetEnvironment(nullptr);
        wholeFileOs() = real_;
        setenv("PATH", path_.c_str(), 1);
    }
    const WholeFileOs real_ = wholeFileOs();
    TempDir dir_, work_; // the address file alone; everything else
    std::string file_ = dir_.file("Loi_Ip_Address.txt"), flag_ = work_.file("reboot");
    std::string path_ = std::getenv("PATH");
    LoiEnvironment environment_{file_.c_str(), flag_.c_str(),
                                [](unsigned int s) { return sleeps.push_back(s), 0u; }};
};

TEST_F(LoiTest, ReadsTheSelectedAddressOrLeavesTheBufferAlone) {
    const std::tuple<const char*, int, const char*> cases[] = {
        {"LOI-IP-ADDRESS:   255.255.255.255", 0, "255.255.255.255 1"},
        {"LOI-IP-ADDRESS:255.255.255.2555\n", 0, "unchanged 1"}, // 16 characters
        {"LOI-ADDRESS:10.0.0.1\n", 0, "unchanged 1"},
        {"GC-IP-ADDRESS-FOR_LOI-COMMUNICATION:1.1.1.3\n", 1, "1.1.1.3 1"}, // line 1 again
        {"LOI-IP-ADDRESS:10.0.0.1\n", 2, "unchanged 0"},
        {nullptr, 0, "unchanged 0"},
    };
    using namespace std::placeholders;
    for (const auto& [content, which, expected] : cases) {
        unlink(file_.c_str());
        if (content != nullptr)
            writeFile(file_, content);
        const int free = lowestFree();
        EXPECT_EQ(filled(16, std::bind(getGcLOIIpAddress, _1, GC_LOI_INTERFACE_ENUM(which))),
                  expected);
        EXPECT_EQ(free, lowestFree()) << "the file was left open";
    }
}

// The new file is written in short pieces, synced, given the old one's mode, renamed over it (a
// reader keeps the old one) and the rename synced; one that holds the addresses already is synced.
TEST_F(LoiTest, RewriteReplacesTheFileWholeOrLeavesItAlone) {
    const std::string old =
        "LOI-IP-ADDRESS:1.1.1.5 \nGC-IP-ADDRESS-FOR_LOI-COMMUNICATION:1.1.1.4\n";
    const std::string shell = "1.2.3.$(touch " + work_.file("injected") + ")";
    const std::pair<const char*, const char*> cases[] = {{"192.168.1.0", "192.168.1.255"},
                                                         {"10.1.2.1", "10.1.2.255"},
                                                         {"10.1.2.2", "10.1.2.1"},
                                                         {"1.1.1.5", "1.1.1.4"},
                                                         {shell.c_str(), nullptr},
                                                         {"256.1.1.1", nullptr},
                                                         {"1.2.3", nullptr},
                                                         {"01.2.3.4", nullptr},
                                                         {nullptr, nullptr}};
    char resolved[PATH_MAX];
    const std::string directory = realpath(dir_.path().c_str(), resolved);
    const std::string name = directory + "/Loi_Ip_Address.txt";
    for (const auto& [panel, analyser] : cases) {
        writeFile(file_, old);
        chmod(file_.c_str(), 0640);
        int reader = open(file_.c_str(), O_RDONLY);
        const int free = lowestFree();
        synced.clear();
        shortWrites = true;
        EXPECT_EQ(setGcLOIIpAddress(panel), analyser ? 1 : 0);
        shortWrites = false;
        EXPECT_EQ(free, lowestFree());
        struct stat st {};
        EXPECT_TRUE(stat(file_.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640);
        EXPECT_EQ(readFile(file_),
                  !analyser ? old
                            : "LOI-IP-ADDRESS:" + std::string(panel) +
                                  " \nGC-IP-ADDRESS-FOR_LOI-COMMUNICATION:" + analyser + "\n");
        EXPECT_EQ(readFile("/proc/self/fd/" + std::to_string(reader)) +
                      runCommand("ls " + dir_.path()).out,
                  old + "Loi_Ip_Address.txt\n");
        const bool same = analyser && std::strcmp(panel, "1.1.1.5") == 0;
        EXPECT_EQ(synced, (!analyser ? std::vector<std::string>{}
                           : same    ? std::vector{name}
                                     : std::vector{name + ".tmp", directory}));
        close(reader);
    }
    EXPECT_FALSE(fileExists(work_.file("injected")));
    EXPECT_EQ(
        filled(16, [](char* text) { return makeGcLOIIpAddress("4294967295.1.1.7", text), 0; }),
        "4294967295.1.1. 0");
    EXPECT_EQ(filled(16, [](char* text) { return makeGcLOIIpAddress("x", text), 0; }),
              "0.0.0.255 0");
    environment_.addressFile = "/nonexistent/Loi_Ip_Address.txt";
    EXPECT_EQ(setGcLOIIpAddress("10.0.0.7"), 0);
}

// Only the first listed ftpput line counts; only a process id of up to 9 digits reaches the shell.
TEST_F(LoiTest, FindsAndKillsOnlyTheFirstListedUpgradeUpload) {
    writeFile(work_.file("pwn"), "#!/bin/sh\ntouch " + work_.file("injected") + "\n");
    chmod(work_.file("pwn").c_str(), 0755);
    const std::tuple<const char*, const char*, int> cases[] = {
        // listing, the id and twice what is found, ps calls of a kill while listed three times
        {"1 a init\n2 a grep ftpput upgrade_LOI.txt\n999999999 a ftpput h upgrade_LOI.txt\n",
         "999999999 2", 4},
        {"100 a ftpput h other.bin\n200 a ftpput h upgrade_LOI.txt\n", "unchanged 0", 1},
        {"300 a FTPPUT h upgrade_LOI.txt\n", "unchanged 0", 1},
        {"1234567890 a ftpput h upgrade_LOI.txt\n", "unchanged 2", 1},
        {";pwn a ftpput h upgrade_LOI.txt\n", ";pwn 2", 1},
    };
    writeFile(work_.file("times"), "3");
    for (const auto& [listing, found, psCalls] : cases) {
        writeFile(work_.file("listing"), listing);
        auto find = [](char* text) {
            return findLOIUpgradeUpload(text) + findLOIUpgradeUpload(nullptr);
        };
        EXPECT_EQ(filled(10, find), found);
        writeFile(work_.file("calls"), "");
        killLOIUpgradeUploads();
        EXPECT_EQ(countOf(readFile(work_.file("calls")), "call\n"), psCalls) << listing;
    }
    EXPECT_FALSE(fileExists(work_.file("injected")));
}

// An upload still listed 3 seconds after an attempt is killed 30 seconds later.
TEST_F(LoiTest, UpgradeRetriesAHangingUploadAndFlagsTheThirdFailureOnce) {
    const std::string runs = work_.file("runs"), run = "echo run >>" + runs;
    const std::string upload =
        "sleep 1000 </dev/null >/dev/null 2>&1 & echo $! >>" + work_.file("uploads");
    // (An if, not &&: "a && b &" would put the test itself in the background.)
    const std::string secondWorks =
        run + "; if [ $(wc -l <" + runs + ") = 1 ]; then " + upload + "; fi";
    const std::tuple<std::string, std::vector<unsigned int>, bool> cases[] = {
        {"", {}, false},
        {run, {3}, false},
        {secondWorks, {3, 30, 3}, false},
        {run + "; " + upload, {3, 30, 3, 30, 3, 30}, true}};
    for (const auto& [command, waits, flagged] : cases) {
        unlink(runs.c_str());
        sleeps.clear();
        runLOIUpgrade(command.c_str());
        EXPECT_EQ(countOf(readFile(runs), "run\n"), int(waits.size() + 1) / 2);
        EXPECT_EQ(sleeps, waits);
        EXPECT_EQ(findLOIUpgradeUpload(nullptr), 0) << "an upload was left running";
        EXPECT_EQ(fileExists(flag_) ? readFile(flag_) : "none", flagged ? "\n" : "none");
    }
}
