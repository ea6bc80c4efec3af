// What a configuration database survives while deviceScan rewrites it: the
// process killed at any moment, a reader loading the tables meanwhile, a
// store write failing in the middle of a scan, a storm of level signals, and
// a debug server that goes away. Each case checks the tables afterwards: every
// table holds either its content from before the run or from after a whole
// run, never a mix, a truncation or nothing.
#include "categoryTables.h"
#include "debug.h"
#include "debugInternal.h"
#include "deviceScan.h"
#include "tableStoreOs.h"
#include "testSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

namespace {

using testing_support::kCategoryTables;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;
using Tables = std::map<std::string, std::string>;

// A kill ends the process, not the machine: what reached the page cache
// stays, synced or not. So the databases live in memory where they can, and
// syncs do not set the pace of the kill loop.
[[maybe_unused]] const bool kInMemory =
    access("/dev/shm", W_OK) == 0 && setenv("TMPDIR", "/dev/shm", 0) == 0;

// Under the emulator every run is some twenty times slower.
const bool kEmulated = !std::string(TEST_LAUNCHER).empty();
int scaled(int host, int emulator) {
    return kEmulated ? emulator : host;
}

// An HW_CONFIG of the given size. Codes cycle through 1..12 shifted by
// variant (10 belongs to no category), and names carry commas and quotes so
// that the rewritten tables need quoting.
std::string hwConfig(int rows, int variant) {
    std::string text = "IO_name,IO_function,IO_type,Location\n";
    for (int i = 0; i < rows; ++i) {
        int code = (i + variant) % 12 + 1;
        text += "IO_" + std::to_string(i) + ":SLOT_" + std::to_string(i % 7) + ":," +
                std::to_string(code) + ",type " + std::to_string(code) +
                (i % 5 == 0 ? ",\"slot, \"\"" + std::to_string(i % 9) + "\"\"\"\n" : ",base\n");
    }
    return text;
}

// Category tables with old rows and a second column that the scan must keep.
Tables oldCategories() {
    Tables tables;
    for (const char* name : kCategoryTables)
        tables[name] = "Installed_hw,Notes\nOLD_1,\"first, kept\"\nOLD_2,second\nOLD_3,\n";
    tables["RTD_SEL"] = "Installed_hw,label\nRTD_OLD:SLOT_2:,RTD 1\n";
    return tables;
}

// A database directory; a table absent from it reads as "".
struct Database : TempDir {
    std::string get(const std::string& table) const { return readFile(file(table + ".csv")); }
    void put(const Tables& tables, const std::string& hw = "") const {
        if (!hw.empty())
            writeFile(file("HW_CONFIG.csv"), hw);
        for (const auto& table : tables)
            writeFile(file(table.first + ".csv"), table.second);
    }
    Tables categories() const {
        Tables tables;
        for (const char* name : kCategoryTables)
            tables[name] = get(name);
        return tables;
    }
    // Names of the temporary files in the directory, one a line.
    std::string temporaries() const {
        return testing_support::runCommand("cd '" + path() + "' && ls | grep -F .tmp").out;
    }
};

// The first table of now that equals none of the versions, or "".
std::string offTable(const Tables& now, std::initializer_list<const Tables*> versions) {
    for (const auto& table : now) {
        bool known = false;
        for (const Tables* version : versions)
            known = known || version->at(table.first) == table.second;
        if (!known)
            return table.first + " as:\n" + table.second.substr(0, 200);
    }
    return "";
}

// Starts a target program (command is its path, arguments and redirections)
// on the database. The command line is made before fork: the test may have
// threads running. Never returns -1, which kill() would take for every process.
pid_t spawn(const Database& db, const std::string& command) {
    std::string line = "export ZVDB_DIR='" + db.path() + "'; cd \"$ZVDB_DIR\" && exec " +
                       testing_support::launcher() + command;
    pid_t pid = fork();
    if (pid < 0)
        std::abort();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int waitFor(pid_t pid) {
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

const std::string kScan = std::string(DEVICESCAN_BINARY) + " >out.log 2>err.log";

// The category tables after a whole run over hw from the old categories.
Tables reference(const std::string& hw) {
    Database db;
    db.put(oldCategories(), hw);
    EXPECT_EQ(waitFor(spawn(db, kScan)), 0);
    return db.categories();
}

TEST(CrashSafety, KillAtAnyMomentLeavesEveryTableOldOrNewAndNoTrap) {
    const int kills = scaled(160, 30);
    const std::string hw = hwConfig(scaled(20000, 10000), 0);
    const Tables before = oldCategories();
    const Tables after = reference(hw);
    ASSERT_NE(after, before);

    // How long a whole run takes here, so that kills spread over all of it.
    Database db;
    db.put(before, hw);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(waitFor(spawn(db, kScan)), 0);
    std::uniform_int_distribution<long> moment(
        0, std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start)
               .count());
    std::mt19937 random(20240607);

    int mixed = 0, finished = 0;
    for (int kill = 0; kill < kills; ++kill) {
        db.put(before);
        pid_t pid = spawn(db, kScan);
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        ::kill(pid, SIGKILL);
        waitFor(pid);

        const Tables now = db.categories();
        ASSERT_EQ(offTable(now, {&before, &after}), "") << "kill " << kill;
        ASSERT_EQ(db.get("HW_CONFIG"), hw) << "kill " << kill;
        int renewed = 0;
        for (const auto& table : now)
            renewed += table.second == after.at(table.first) ? 1 : 0;
        mixed += renewed > 0 && renewed < kCategoryCount ? 1 : 0;
        finished += renewed == kCategoryCount ? 1 : 0;
    }
    // Kills that all landed after the last write would prove nothing.
    EXPECT_LT(finished, kills);
    if (!kEmulated) {
        EXPECT_GT(mixed, 0) << finished << " finished";
    }

    // Temporaries as a killed run leaves them (half-written, empty and
    // unreadable, whole-looking) do not disturb the next run.
    writeFile(db.file("RTD_SEL.csv.tmpAbC123"), "Installed_hw,label\nRTD_1:SL");
    writeFile(db.file("EPC_SEL.csv.tmpZZZZZZ"), "");
    chmod(db.file("EPC_SEL.csv.tmpZZZZZZ").c_str(), 0);
    writeFile(db.file("HW_CONFIG.csv.tmp000000"), "IO_name,IO_function\nBOGUS,1\n");
    db.put(before);
    ASSERT_EQ(waitFor(spawn(db, kScan)), 0);
    EXPECT_EQ(offTable(db.categories(), {&after}), "");
    EXPECT_EQ(db.get("HW_CONFIG"), hw);
}

TEST(ConcurrentReader, NeverSeesAPartialTable) {
    const int rows = scaled(20000, 6000);
    const int runs = scaled(8, 3);
    const std::string hw[] = {hwConfig(rows, 0), hwConfig(rows, 5)};
    const Tables before = oldCategories();
    const Tables after[] = {reference(hw[0]), reference(hw[1])};
    ASSERT_NE(after[0], after[1]);

    Database db;
    db.put(before);
    std::atomic<bool> stop{false};
    std::atomic<long> loads{0};
    std::string bad;
    std::thread reader([&] {
        for (; !stop && bad.empty(); ++loads)
            bad = offTable(db.categories(), {&before, &after[0], &after[1]});
    });
    for (int run = 0; run < runs; ++run) {
        // HW_CONFIG is replaced only between runs, atomically, as the
        // configuration tools would.
        writeFile(db.file("HW_CONFIG.next"), hw[run % 2]);
        rename(db.file("HW_CONFIG.next").c_str(), db.file("HW_CONFIG.csv").c_str());
        EXPECT_EQ(waitFor(spawn(db, kScan)), 0);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad, "");
    EXPECT_GT(loads.load(), runs);
    EXPECT_EQ(offTable(db.categories(), {&after[(runs - 1) % 2]}), "");
}

// The store's system calls, failing on their Nth use; a write given error 0
// stores half its data, then the disk is full.
std::atomic<int> calls{0};
int failAt = 0;
int failError = 0;

bool failing() {
    if (++calls != failAt)
        return false;
    errno = failError;
    return true;
}
ssize_t faultyWrite(int fd, const void* data, size_t size) {
    if (calls + 1 == failAt && failError == 0) {
        failAt = ++calls + 1;
        failError = ENOSPC;
        return write(fd, data, size / 2);
    }
    return failing() ? -1 : write(fd, data, size);
}

// Runs the scan in this process with stderr captured, the store's step
// failing at its call failAt (none when step is empty).
std::string scanInProcess(const Database& db, const std::string& step = "") {
    TableStoreOs saved = tableStoreOs();
    calls = 0;
    if (step == "write")
        tableStoreOs().write = faultyWrite;
    else if (step == "fsync")
        tableStoreOs().fsync = [](int fd) { return failing() ? -1 : fsync(fd); };
    else if (step == "rename")
        tableStoreOs().rename = [](const char* from, const char* to) {
            return failing() ? -1 : rename(from, to);
        };
    setenv("ZVDB_DIR", db.path().c_str(), 1);
    Syslogtodebug = 1;
    testing::internal::CaptureStderr();
    {
        DeviceScanner scanner;
        HardwareCategory* cursor = categoryTable;
        scanner.buildTableList(cursor);
        cursor = categoryTable;
        scanner.createMasterTable();
        scanner.scanInstalledHardware(cursor);
    }
    std::string log = testing::internal::GetCapturedStderr();
    Syslogtodebug = 0;
    unsetenv("ZVDB_DIR");
    tableStoreOs() = saved;
    return log;
}

TEST(StoreFaultMidScan, FailedTableIntactEveryOtherTableDone) {
    const std::string hw = hwConfig(600, 1);
    const Tables before = oldCategories();
    const Tables after = reference(hw);
    // Tables are written in category order; each costs one write and two
    // fsyncs (the file, then the directory), so the Nth table's file fsync
    // is call 2N-1.
    struct Case {
        const char* step;
        int failAt;
        int error;
        const char* victim;
    } cases[] = {
        {"write", 1, ENOSPC, "ANALOG_INPUTS_SEL"},
        {"write", 9, 0, "RTD_SEL"},
        {"fsync", 2 * 6 - 1, EIO, "DETECTOR_SEL"},
        {"rename", 11, EACCES, "ZVLTLOI_SEL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.step) + " fails at " + std::to_string(c.failAt));
        Database db;
        db.put(before, hw);
        failAt = c.failAt;
        failError = c.error;
        std::string log = scanInProcess(db, c.step);

        Tables expected = after;
        expected[c.victim] = before.at(c.victim);
        EXPECT_EQ(offTable(db.categories(), {&expected}), "");
        EXPECT_EQ(db.temporaries(), "");
        EXPECT_NE(log.find(std::string("Table ") + c.victim + ": " + c.step), std::string::npos)
            << log;
        EXPECT_EQ(testing_support::countOf(log, "SysLog "), 1) << log;
    }
}

// A whole trace line: time stamp, process id, severity 3, error 0, place, text.
const std::regex
    kTraceLine(R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d :  pid \(\d+\) 3  0  deviceScan@(145|204):.+)");

TEST(SignalStorm, ScanFinishesAndTraceLinesStayWhole) {
    if (testing_support::fileExists("/var/run/debugpipe"))
        GTEST_SKIP() << "a debug server's pipe exists here; lines would not reach standard output";
    const std::string hw = hwConfig(scaled(40000, 8000), 2);
    const Tables after = reference(hw);
    // Missing tables give trace lines in the middle of the scan too, and
    // stay missing.
    Tables before = oldCategories(), expected = after;
    for (const char* missing : {"EPC_SEL", "SOLENOID_VALVE_SEL"}) {
        before.erase(missing);
        expected[missing] = "";
    }
    Database db;
    db.put(before, hw);

    pid_t pid = spawn(db, std::string(DEVICESCAN_BINARY) + " -v >out.log 2>err.log");
    // The level handlers are in place once the first trace line is out;
    // before that a level signal would end the process.
    while (readFile(db.file("out.log")).find("@145:") == std::string::npos) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << readFile(db.file("out.log"));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // Bursts of 64 with a short pause: an unbroken stream can starve the scan
    // of the processor for tens of seconds. A scan hung in a handler is ended.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    long sent = 0;
    int status = -1;
    pid_t ended = 0;
    do {
        ::kill(pid, (sent++ & 1) == 0 ? SIGUSR1 : SIGUSR2);
        if ((sent & 63) == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    } while ((sent & 63) != 0 || ((ended = waitpid(pid, &status, WNOHANG)) == 0 &&
                                  std::chrono::steady_clock::now() < deadline));
    if (ended == 0) {
        ::kill(pid, SIGKILL);
        waitFor(pid);
    }
    ASSERT_EQ(status, 0);
    EXPECT_GT(sent, 64);
    EXPECT_EQ(offTable(db.categories(), {&expected}), "");

    std::istringstream out(readFile(db.file("out.log")));
    int traces = 0;
    for (std::string line; std::getline(out, line);) {
        if (line.find("pid (") == std::string::npos)
            continue; // the switch and channel notices
        EXPECT_TRUE(std::regex_match(line, kTraceLine)) << "torn line: " << line;
        ++traces;
    }
    EXPECT_GE(traces, 1);
}

TEST(DebugServerGone, ScanGoesOnAndLinesGoToStandardOutput) {
    const std::string hw = hwConfig(240, 4);
    const Tables after = reference(hw);
    Tables before = oldCategories(), expected = after;
    before.erase("DETECTOR_SEL");
    expected["DETECTOR_SEL"] = "";
    Database db;
    db.put(before, hw);

    const std::string fifo = db.file("debugpipe");
    pid_t server =
        spawn(db, std::string(DEBUGSERVER_BINARY) + " " + fifo + " >server.log 2>server.err");
    // The server has its end open once a non-blocking writer gets in.
    int probe = -1;
    for (int tries = 0; tries < 5000 && probe < 0; ++tries) {
        probe = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (probe < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(probe, 0) << "the debug server never opened its pipe";
    close(probe);
    debugResetChannel(fifo.c_str());
    DebugLevel = 1;
    testing::internal::CaptureStdout();

    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "reliabilityTest", 1, "%s", "before the server goes");
    for (int tries = 0; tries < 5000 && readFile(db.file("server.log")).empty(); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::kill(server, SIGKILL);
    waitFor(server);

    scanInProcess(db);
    std::string out = testing::internal::GetCapturedStdout();
    DebugLevel = 0;
    debugResetChannel(nullptr);

    EXPECT_NE(readFile(db.file("server.log")).find("before the server goes"), std::string::npos);
    EXPECT_NE(out.find("deviceScan@204:Table Not found :DETECTOR_SEL"), std::string::npos) << out;
    EXPECT_NE(out.find("deviceScan@145:ZVLTLOI_SEL"), std::string::npos) << out;
    EXPECT_EQ(offTable(db.categories(), {&expected}), "");
}

} // namespace
