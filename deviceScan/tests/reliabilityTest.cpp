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

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using testing_support::kCategoryTables;

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;
using Tables = std::map<std::string, std::string>;

// Under the emulator every run is some twenty times slower; the counts shrink
// so that the suite stays within minutes there.
bool emulated() {
    return !std::string(TEST_LAUNCHER).empty();
}
int scaled(int host, int emulator) {
    return emulated() ? emulator : host;
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

// A database directory holding HW_CONFIG and the category tables.
class Database {
  public:
    void put(const std::string& table, const std::string& text) {
        writeFile(dir_.file(table + ".csv"), text);
    }
    void put(const Tables& tables) {
        for (const auto& table : tables)
            put(table.first, table.second);
    }
    std::string get(const std::string& table) const { return readFile(dir_.file(table + ".csv")); }
    Tables categories() const {
        Tables tables;
        for (const char* name : kCategoryTables)
            tables[name] = get(name);
        return tables;
    }
    // Files of the directory that are not tables (temporary files left behind).
    std::vector<std::string> strays() const {
        std::vector<std::string> found;
        DIR* dir = opendir(dir_.path().c_str());
        if (dir == nullptr)
            return found;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            if (name.size() < 4 || name.compare(name.size() - 4, 4, ".csv") != 0)
                found.push_back(name);
        }
        closedir(dir);
        return found;
    }
    const std::string& path() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }

  private:
    TempDir dir_;
};

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

// Starts a program of the suite's target (through the emulator when there is
// one) with ZVDB_DIR set, its output going to files. Everything the child
// needs is prepared before fork: the test may have threads running.
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::string& database, const std::string& outPath, const std::string& errPath) {
    std::vector<std::string> argvText = words(TEST_LAUNCHER);
    argvText.push_back(program);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : argvText)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    std::vector<std::string> envText;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::string(*entry).rfind("ZVDB_DIR=", 0) != 0)
            envText.push_back(*entry);
    envText.push_back("ZVDB_DIR=" + database);
    std::vector<char*> envp;
    for (std::string& entry : envText)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out);
    close(err);
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Runs deviceScan to its end; returns the raw wait status.
int runScan(const Database& db, const std::vector<std::string>& args = {}) {
    return waitFor(
        spawn(DEVICESCAN_BINARY, args, db.path(), db.file("out.log"), db.file("err.log")));
}

bool exitedZero(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The category tables after a whole run over hw from the old categories.
Tables reference(const std::string& hw) {
    Database db;
    db.put("HW_CONFIG", hw);
    db.put(oldCategories());
    EXPECT_TRUE(exitedZero(runScan(db)));
    return db.categories();
}

// ---------------------------------------------------------------- crashes

// A kill ends the process, not the machine: what reached the page cache
// stays, whether or not it was synced. The kill loop therefore runs in
// memory where it can, so that the syncs do not set its pace.
class InMemoryScratch {
  public:
    InMemoryScratch() {
        const char* old = std::getenv("TMPDIR");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        struct stat st {};
        if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
            setenv("TMPDIR", "/dev/shm", 1);
    }
    ~InMemoryScratch() {
        if (had_)
            setenv("TMPDIR", old_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

  private:
    bool had_ = false;
    std::string old_;
};

TEST(CrashSafety, KillAtAnyMomentLeavesEveryTableOldOrNew) {
    InMemoryScratch scratch;
    const int rows = scaled(20000, 10000);
    const int kills = scaled(160, 30);
    const std::string hw = hwConfig(rows, 0);
    const Tables before = oldCategories();
    const Tables after = reference(hw);
    ASSERT_NE(after.at("RTD_SEL"), before.at("RTD_SEL"));
    // One row of twelve carries code 7, numbered from RTD 1.
    EXPECT_NE(after.at("RTD_SEL").find(",RTD " + std::to_string(rows / 12) + "\n"),
              std::string::npos);

    // How long a whole run takes here, so that kills spread over all of it.
    Database db;
    db.put("HW_CONFIG", hw);
    db.put(before);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(exitedZero(runScan(db)));
    auto wholeRun = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();

    std::mt19937 random(20240607);
    std::uniform_int_distribution<long> moment(0, wholeRun);
    int untouched = 0, mixed = 0, finished = 0;
    for (int kill = 0; kill < kills; ++kill) {
        db.put(before);
        pid_t pid = spawn(DEVICESCAN_BINARY, {}, db.path(), db.file("out.log"), db.file("err.log"));
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        ::kill(pid, SIGKILL);
        waitFor(pid);

        int renewed = 0;
        for (const char* name : kCategoryTables) {
            std::string now = db.get(name);
            ASSERT_TRUE(now == before.at(name) || now == after.at(name))
                << "kill " << kill << " left " << name << " as:\n"
                << now.substr(0, 200);
            renewed += now == after.at(name) ? 1 : 0;
        }
        ASSERT_EQ(db.get("HW_CONFIG"), hw) << "kill " << kill;
        if (renewed == 0)
            ++untouched;
        else if (renewed == kCategoryCount)
            ++finished;
        else
            ++mixed;
    }
    // Some kills must have landed between two table writes, or the loop
    // proved nothing about them.
    EXPECT_GT(mixed + untouched, 0);
    if (!emulated()) {
        EXPECT_GT(mixed, 0) << untouched << " untouched, " << finished << " finished";
    }

    // A killed run leaves at most its one temporary file; none of them
    // disturbs the next run, which finishes every table.
    std::vector<std::string> strays = db.strays();
    std::size_t temporaries = 0;
    for (const std::string& name : strays)
        temporaries += name.find(".csv.tmp") != std::string::npos ? 1 : 0;
    EXPECT_LE(temporaries, static_cast<std::size_t>(kills));
    db.put(before);
    ASSERT_TRUE(exitedZero(runScan(db)));
    EXPECT_EQ(db.categories(), after);
}

TEST(CrashSafety, StaleTemporaryFilesDoNotDisturbALaterRun) {
    const std::string hw = hwConfig(60, 3);
    const Tables after = reference(hw);
    Database db;
    db.put("HW_CONFIG", hw);
    db.put(oldCategories());
    // What a run killed during its writes leaves: a half-written temporary
    // beside a table, an empty one, and one that looks like a whole table.
    writeFile(db.file("RTD_SEL.csv.tmpAbC123"), "Installed_hw,label\nRTD_1:SL");
    writeFile(db.file("EPC_SEL.csv.tmpZZZZZZ"), "");
    writeFile(db.file("HW_CONFIG.csv.tmp000000"), "IO_name,IO_function\nBOGUS,1\n");
    chmod(db.file("EPC_SEL.csv.tmpZZZZZZ").c_str(), 0);

    ASSERT_TRUE(exitedZero(runScan(db)));
    EXPECT_EQ(db.categories(), after);
    EXPECT_EQ(db.get("HW_CONFIG"), hw);
}

// ---------------------------------------------------------------- readers

TEST(ConcurrentReader, NeverSeesAPartialTable) {
    const int rows = scaled(20000, 6000);
    const int runs = scaled(8, 3);
    const std::string hwA = hwConfig(rows, 0);
    const std::string hwB = hwConfig(rows, 5);
    const Tables before = oldCategories();
    const Tables afterA = reference(hwA);
    const Tables afterB = reference(hwB);
    ASSERT_NE(afterA, afterB);

    Database db;
    db.put("HW_CONFIG", hwA);
    db.put(before);
    std::atomic<bool> stop{false};
    std::atomic<long> loads{0};
    std::string bad;
    std::thread reader([&] {
        while (!stop) {
            for (const char* name : kCategoryTables) {
                std::string now = db.get(name);
                if (now != before.at(name) && now != afterA.at(name) && now != afterB.at(name)) {
                    bad = std::string(name) + ":\n" + now.substr(0, 200);
                    stop = true;
                    return;
                }
                ++loads;
            }
        }
    });
    for (int run = 0; run < runs && !stop; ++run) {
        // HW_CONFIG is replaced only between runs, atomically, as the
        // configuration tools would.
        writeFile(db.file("HW_CONFIG.next"), run % 2 == 0 ? hwA : hwB);
        rename(db.file("HW_CONFIG.next").c_str(), db.file("HW_CONFIG.csv").c_str());
        EXPECT_TRUE(exitedZero(runScan(db)));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad, "");
    EXPECT_GT(loads.load(), 0);
    EXPECT_EQ(db.categories(), runs % 2 == 1 ? afterA : afterB);
}

// ---------------------------------------------------------------- store faults

// The store's system calls, failing on their Nth use.
struct Fault {
    const char* what;
    int failAt; // 1-based call of the faulty step
    int error;
};
std::atomic<int> callCount{0};
Fault activeFault;

ssize_t faultyWrite(int fd, const void* data, size_t size) {
    if (++callCount == activeFault.failAt) {
        if (activeFault.error == 0) {
            // A disk filling up: part of the data goes, then nothing more fits.
            ssize_t part = write(fd, data, size / 2);
            activeFault.failAt = callCount + 1;
            activeFault.error = ENOSPC;
            return part;
        }
        errno = activeFault.error;
        return -1;
    }
    return write(fd, data, size);
}
int faultyFsync(int fd) {
    if (++callCount == activeFault.failAt) {
        errno = activeFault.error;
        return -1;
    }
    return fsync(fd);
}
int faultyRename(const char* from, const char* to) {
    if (++callCount == activeFault.failAt) {
        errno = activeFault.error;
        return -1;
    }
    return rename(from, to);
}

// Runs the scan in this process with one step of the store failing.
std::string scanWithFault(const Database& db, const std::string& step, const Fault& fault) {
    TableStoreOs saved = tableStoreOs();
    callCount = 0;
    activeFault = fault;
    if (step == "write")
        tableStoreOs().write = faultyWrite;
    else if (step == "fsync")
        tableStoreOs().fsync = faultyFsync;
    else
        tableStoreOs().rename = faultyRename;
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
        Fault fault;
        const char* victim;
    } cases[] = {
        {"write", {"write fails", 5, EIO}, "HEATER_CONTROL_SEL"},
        {"write", {"disk full", 1, ENOSPC}, "ANALOG_INPUTS_SEL"},
        {"write", {"disk fills mid-file", 9, 0}, "RTD_SEL"},
        {"fsync", {"fsync fails", 2 * 6 - 1, EIO}, "DETECTOR_SEL"},
        {"rename", {"rename fails", 11, EACCES}, "ZVLTLOI_SEL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault.what);
        Database db;
        db.put("HW_CONFIG", hw);
        db.put(before);
        std::string log = scanWithFault(db, c.step, c.fault);

        for (const char* name : kCategoryTables)
            EXPECT_EQ(db.get(name),
                      name == std::string(c.victim) ? before.at(name) : after.at(name))
                << name;
        EXPECT_EQ(db.strays(), std::vector<std::string>());
        EXPECT_NE(log.find(std::string("Table ") + c.victim + ": " + c.step), std::string::npos)
            << log;
        EXPECT_EQ(testing_support::countOf(log, "SysLog "), 1) << log;
    }
}

// ---------------------------------------------------------------- signals

// A whole trace line: time stamp, process id, severity 3, error 0, place, text.
const std::regex
    kTraceLine(R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d :  pid \(\d+\) 3  0  deviceScan@(145|204):.+)");

TEST(SignalStorm, ScanFinishesAndTraceLinesStayWhole) {
    if (testing_support::fileExists("/var/run/debugpipe"))
        GTEST_SKIP() << "a debug server's pipe exists here; lines would not reach standard output";
    const int rows = scaled(40000, 8000);
    const std::string hw = hwConfig(rows, 2);
    Tables before = oldCategories();
    Database db;
    db.put("HW_CONFIG", hw);
    // Missing tables give trace lines in the middle of the scan too.
    before.erase("EPC_SEL");
    before.erase("SOLENOID_VALVE_SEL");
    db.put(before);
    Tables after = reference(hw);

    pid_t pid = spawn(DEVICESCAN_BINARY, {"-v"}, db.path(), db.file("out.log"), db.file("err.log"));
    // The level handlers are in place once the first trace line is out;
    // before that a level signal would end the process.
    while (readFile(db.file("out.log")).find("@145:") == std::string::npos) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << readFile(db.file("out.log"));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    long sent = 0;
    int status = 0;
    for (;;) {
        ::kill(pid, (sent & 1) == 0 ? SIGUSR1 : SIGUSR2);
        ++sent;
        if ((sent & 63) == 0 && waitpid(pid, &status, WNOHANG) == pid)
            break;
    }
    EXPECT_TRUE(exitedZero(status)) << status;
    EXPECT_GT(sent, 64);

    for (const auto& table : after) {
        if (before.count(table.first) != 0) {
            EXPECT_EQ(db.get(table.first), table.second) << table.first;
        } else {
            EXPECT_FALSE(testing_support::fileExists(db.file(table.first + ".csv")));
        }
    }
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

// ---------------------------------------------------------------- debug server

TEST(DebugServerGone, ScanGoesOnAndLinesGoToStandardOutput) {
    Database db;
    const std::string hw = hwConfig(240, 4);
    Tables before = oldCategories();
    before.erase("DETECTOR_SEL");
    db.put("HW_CONFIG", hw);
    db.put(before);
    Tables after = reference(hw);

    const std::string fifo = db.file("debugpipe");
    pid_t server =
        spawn(DEBUGSERVER_BINARY, {fifo}, db.path(), db.file("server.log"), db.file("server.err"));
    struct stat st {};
    for (int tries = 0; tries < 5000 && stat(fifo.c_str(), &st) != 0; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(S_ISFIFO(st.st_mode));
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

    std::string log = scanWithFault(db, "write", Fault{"none", -1, 0});
    std::string out = testing::internal::GetCapturedStdout();
    DebugLevel = 0;
    debugResetChannel(nullptr);

    EXPECT_NE(readFile(db.file("server.log")).find("before the server goes"), std::string::npos);
    EXPECT_NE(out.find("deviceScan@204:Table Not found :DETECTOR_SEL"), std::string::npos) << out;
    EXPECT_NE(out.find("deviceScan@145:ZVLTLOI_SEL"), std::string::npos) << out;
    for (const auto& table : after) {
        if (before.count(table.first) != 0) {
            EXPECT_EQ(db.get(table.first), table.second) << table.first;
        }
    }
}

} // namespace
