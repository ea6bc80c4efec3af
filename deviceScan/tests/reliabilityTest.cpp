// What a configuration database survives while deviceScan rewrites it: a
// power cut, a kill or a reader at any step of the store, a store call that
// fails, a storm of level signals, and a debug server that goes away.
#include "scanSupport.h"
#include "tableStoreOs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

namespace {

using namespace testing_support;

// An HW_CONFIG of the given rows, codes cycling from variant, names quoted.
std::string hwConfig(int rows, int variant) {
    std::string text = "IO_name,IO_function\n";
    for (int i = 0; i < rows; ++i)
        text +=
            "\"IO, " + std::to_string(i) + "\"," + std::to_string((i + variant) % 12 + 1) + "\n";
    return text;
}

// The store's system calls as the disk sees them: what each temporary file
// held when synced, and the temporary each table file was renamed from, now
// and as of the last directory sync. A write takes at most 64 bytes; the first
// call that fault names fails.
struct Fault {
    const char* call;
    const char* table;
    int err; // for a write, 0 stores nothing (disk full)
} fault;
std::map<std::string, std::string> synced, now, durable;
Tables before, after;
const Database* scanning = nullptr;
std::string bad; // the first table seen neither old nor new

std::string pathOf(int fd) {
    char path[4096] = {};
    return readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1) > 0
               ? path
               : "";
}

std::string afterPowerCut(const std::string& table, std::map<std::string, std::string>& names) {
    auto temp = names.find(scanning->file(table + ".csv"));
    return temp == names.end() ? before.at(table) : synced[temp->second];
}

// Fails the call when fault names it; else makes it, and then each table as a
// reader opening it finds it (and a kill leaves it), and as a power cut leaves
// it whichever way its rename went, must be whole, old or new.
template <typename Call> auto step(const char* call, const std::string& path, Call make) {
    decltype(make()) result = fault.err == 0 && *call == 'w' ? 0 : -1;
    if (std::strcmp(call, fault.call) == 0 &&
        path.find("/" + std::string(fault.table) + ".") != std::string::npos) {
        fault.call = "";
        errno = fault.err;
        return result;
    }
    result = make();
    for (const auto& table : before)
        for (const std::string& seen : {scanning->get(table.first), afterPowerCut(table.first, now),
                                        afterPowerCut(table.first, durable)})
            if (seen != table.second && seen != after.at(table.first) && bad.empty())
                bad = std::string(call) + " " + table.first + ":\n" + seen;
    return result;
}

const TableStoreOs kTracedOs = {
    [](char* name) { return step("mkstemp", name, [&] { return mkstemp(name); }); },
    [](int fd, const void* data, size_t size) {
        return step("write", pathOf(fd),
                    [&] { return write(fd, data, std::min<size_t>(size, 64)); });
    },
    [](int fd) {
        const std::string path = pathOf(fd);
        return step("fsync", path, [&] {
            if (path.find(".csv.tmp") == std::string::npos)
                durable = now;
            else
                synced[path] = readFile(path);
            return fsync(fd);
        });
    },
    [](const char* from, const char* to) {
        return step("rename", from, [&] {
            now[to] = from;
            return rename(from, to);
        });
    }};

TEST(CrashSafety, EveryStepLeavesEachTableWholeAndAFailedCallOnlyItsOwnTableOld) {
    const std::string hw = hwConfig(240, 0);
    before = oldCategories();
    after = scanned(hw);
    for (const Fault& c : {Fault{"", "", 0}, Fault{"mkstemp", "ANALOG_INPUTS_SEL", EACCES},
                           Fault{"write", "RTD_SEL", EIO}, Fault{"write", "RTD_SEL", 0},
                           Fault{"write", "EPC_SEL", EINTR}, Fault{"fsync", "DETECTOR_SEL", EIO},
                           Fault{"rename", "ZVLTLOI_SEL", EXDEV}}) {
        SCOPED_TRACE(std::string(c.call) + " " + c.table);
        Database db;
        db.put(oldCategories(hw));
        scanning = &db;
        fault = c;
        synced = now = durable = {};
        tableStoreOs() = kTracedOs;
        std::string log = scanInProcess(db, 0).second;
        tableStoreOs() = TableStoreOs{mkstemp, write, fsync, rename};

        const bool fails = *c.call != '\0' && c.err != EINTR; // EINTR: tried again
        Tables expected = after;
        if (fails)
            expected[c.table] = before.at(c.table);
        EXPECT_EQ(expected, db.categories());
        EXPECT_EQ("", bad);
        for (const auto& table : expected)
            EXPECT_EQ(table.second, afterPowerCut(table.first, durable)) << "not synced";
        EXPECT_EQ(fails ? 1 : 0, countOf(log, "SysLog ")) << log;
        EXPECT_EQ(fails, log.find("Table " + std::string(c.table) + ":") != std::string::npos);
        EXPECT_EQ("", runCommand("ls " + db.path() + " | grep -F .tmp").out) << "temporary left";
    }
}

// A whole trace line: time stamp, process id, severity 3, error 0, place, text.
const std::regex
    kTraceLine(R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d :  pid \(\d+\) 3  0  deviceScan@(145|204):.+)");

TEST(SignalStorm, ScanFinishesAndTraceLinesStayWhole) {
    if (fileExists("/var/run/debugpipe"))
        GTEST_SKIP() << "a debug server's pipe exists here; lines would not reach standard output";
    // A missing table gives trace lines in the middle of the scan too.
    const std::string hw = hwConfig(*TEST_LAUNCHER != '\0' ? 8000 : 40000, 2);
    Tables expected = scanned(hw);
    expected["EPC_SEL"] = "";
    Database db;
    db.put(oldCategories(hw));
    unlink(db.file("EPC_SEL.csv").c_str());
    const std::string line = "cd " + db.path() + " && ZVDB_DIR=. exec " + launcher() +
                             DEVICESCAN_BINARY " -v >out.log 2>err.log";
    pid_t pid = fork();
    if (pid == 0)
        _exit(execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr)));
    // The level handlers are in place once the first trace line is out;
    // before that a level signal would end the process.
    while (pid > 0 && readFile(db.file("out.log")).find("@145:") == std::string::npos) {
        ASSERT_EQ(0, waitpid(pid, nullptr, WNOHANG)) << readFile(db.file("out.log"));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // Bursts of 64 with a short pause: an unbroken stream can starve the scan
    // of the processor for tens of seconds. A scan hung in a handler is ended.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    long sent = 0;
    int status = -1;
    while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline)
            kill(pid, SIGKILL);
        for (int burst = 0; burst < 64; ++burst)
            kill(pid, sent++ % 2 == 0 ? SIGUSR1 : SIGUSR2);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    EXPECT_EQ(0, status);
    EXPECT_GT(sent, 64);
    EXPECT_EQ(expected, db.categories());
    std::istringstream out(readFile(db.file("out.log")));
    for (std::string text; std::getline(out, text);)
        EXPECT_TRUE(text.find("pid (") == std::string::npos || std::regex_match(text, kTraceLine))
            << "torn line: " << text;
}

// The server's end of the pipe: opened, read once, then closed.
TEST(DebugServerGone, ScanGoesOnAndLinesGoToStandardOutput) {
    const std::string hw = hwConfig(240, 4);
    Database db;
    db.put(oldCategories(hw));
    const std::string fifo = db.file("debugpipe");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int server = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    debugResetChannel(fifo.c_str());
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "reliabilityTest", 1, "%s", "before the server goes");
    char line[128] = {};
    EXPECT_LT(0, read(server, line, sizeof line - 1));
    EXPECT_NE(nullptr, std::strstr(line, "reliabilityTest@1:before the server goes"));
    close(server);

    std::string out = scanInProcess(db, 1, true).first;
    EXPECT_NE(std::string::npos, out.find("deviceScan@145:ZVLTLOI_SEL")) << out;
    EXPECT_EQ(scanned(hw), db.categories());
}

} // namespace
