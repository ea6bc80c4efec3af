// What deviceScan leaves in a database at every store step, with store calls failing and
// under level signals, and that a preview says what the scan then changes.
#include "csv.h"
#include "scanSupport.h"
#include "wholeFileOs.h"

#include <fcntl.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <utility>

namespace {

using namespace testing_support;

// The store's system calls as a disk sees them: what each temporary held when synced, and
// the temporary each table was renamed from, now and as of the last directory sync. Writes
// take 16 bytes at most; a fault fails the first such call on its table (errno 0: disk full).
struct Fault {
    const char *call, *table;
    int err;
};
std::vector<Fault> faults;
std::map<std::string, std::string> synced, now, durable;
Tables before, after;
const Database* scanning = nullptr;
std::string bad;                  // the first table seen neither as before nor as after
std::map<std::string, int> calls; // store calls made, by kind

std::string pathOf(int fd) {
    char path[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    return readlink(link.c_str(), path, sizeof path - 1) > 0 ? path : "";
}

std::string afterPowerCut(const std::string& table, std::map<std::string, std::string>& names) {
    auto temp = names.find(scanning->file(table + ".csv"));
    return temp == names.end() ? before.at(table) : synced[temp->second];
}

// Fails the call as a fault says, or makes it; then each table, as a reader or a kill finds
// it and as a power cut leaves it either way its rename went, must be as before or after.
template <typename Call> auto step(const char* call, const std::string& path, Call make) {
    for (Fault& fault : faults)
        if (std::strcmp(call, fault.call) == 0 &&
            path.find("/" + std::string(fault.table) + ".") != std::string::npos) {
            fault.call = "";
            errno = fault.err;
            return static_cast<decltype(make())>(errno == 0 ? 0 : -1);
        }
    ++calls[call];
    auto result = make();
    for (const auto& table : before)
        for (const std::string& seen : {scanning->get(table.first), afterPowerCut(table.first, now),
                                        afterPowerCut(table.first, durable)})
            if (seen != table.second && seen != after.at(table.first) && bad.empty())
                bad = std::string(call) + " " + table.first + ":\n" + seen;
    return result;
}

const WholeFileOs kTracedOs = {
    [](const char* name, int flags, mode_t mode) {
        return step("create", name, [&] { return open(name, flags, mode); });
    },
    read,
    [](int fd, const void* data, size_t size) {
        return step("write", pathOf(fd),
                    [&] { return write(fd, data, std::min<size_t>(size, 16)); });
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
    fchown,
    [](const char* from, const char* to) {
        return step("rename", from, [&] {
            now[to] = from;
            return rename(from, to);
        });
    }};

std::map<std::string, ino_t> inodes(const Database& db) {
    std::map<std::string, ino_t> found;
    struct stat st {};
    for (const auto& table : db.categories())
        found[table.first] = stat(db.file(table.first + ".csv").c_str(), &st) == 0 ? st.st_ino : 0;
    return found;
}

// The rows of a category table as a preview shows them, labels included.
StringList shownRows(const std::string& text) {
    StringList header, cells, rows;
    std::vector<CsvSpan> spans;
    std::string extra;
    CsvError error;
    parseCsvSpans(text, header, spans, extra, error);
    for (const CsvSpan& span : spans)
        cells.push_back((span.inExtra != 0 ? extra : text).substr(span.offset, span.size));
    auto at = [&header](const char* column) {
        return std::size_t(std::find(header.begin(), header.end(), column) - header.begin());
    };
    const std::size_t installed = at("Installed_hw"), label = at("label"), width = header.size();
    for (std::size_t row = 0; installed < width && row < cells.size(); row += width)
        rows.push_back(shownText(cells[row + installed]) +
                       (label < width ? ", " + shownText(cells[row + label]) : ""));
    return rows;
}

// What a preview said, applied to the tables as they were, must give the
// tables as the scan left them, and only those it called changed differ.
void expectAgreement(const std::string& said, const Tables& was, const Tables& is) {
    std::map<std::string, StringList> rows; // as they were, then as the preview said
    std::set<std::string> changed;
    std::istringstream lines(said);
    for (std::string line, word, value, table; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::size_t row = 0;
        if (line[0] != ' ' && fields >> word >> table && word == "changed")
            changed.insert(table);
        if (line[0] != ' ' || !(fields >> word >> row) || !std::getline(fields.ignore(), value))
            continue;
        StringList& shown = rows.emplace(table, shownRows(was.at(table))).first->second;
        shown.resize(std::max(shown.size(), word == "add" ? row + 1 : 0));
        std::string& cell = shown.at(row);
        if (word == "was" || word == "cut") { // cut gives no label
            EXPECT_TRUE(cell == value || cell.rfind(value + ", ", 0) == 0) << line;
        }
        cell = word == "now" || word == "add" ? value : word == "cut" ? "\n" : cell;
    }
    for (const auto& [name, text] : was) {
        StringList& shown = rows.emplace(name, shownRows(text)).first->second;
        // Cut rows were marked with a line end, which no shown text holds.
        shown.erase(std::remove(shown.begin(), shown.end(), "\n"), shown.end());
        const StringList left = shownRows(is.at(name));
        EXPECT_EQ(left != shownRows(text), changed.count(name) == 1) << name;
        EXPECT_EQ(left, shown) << name;
    }
}

TEST(Scan, LeavesEachTableAsBeforeOrAsAfterAtEveryStepAndAsAfterAtTheEnd) {
    // Every code in a mixed order, CRLF, a byte-order mark, blank lines; names that need
    // quotes, an empty one, duplicates; codes of no category, one with blanks around it.
    const std::string hw =
        "\xEF\xBB\xBFIO_function,IO_name\r\n1,AI\r\n+2,\"AO, left\"\r\n03,DI\r\n4,DO\r\n\r\n"
        "5,PRE\r\n6,DET\r\n7,RTD_A\r\n9,\"say \"\"hi\"\"\"\r\n10,X\r\n11,EPC\r\n12,ZV\r\n"
        "7,RTD_B\r\n1,AI\r\n9,\r\n9,\"two\nlines\"\r\n 1\t,AI_3\r\n"
        "6.0\tsix: the detector's code typed by hand,NOT\r\n1x,NOT\r\n-,NOT\r\n"
        "18446744073709551617,NOT\r\n ,NOT\r\n\r\n";
    // Rows past the new count are cut off; the rows kept keep their other cells.
    const Tables newTables = {
        {"ANALOG_INPUTS_SEL", "Installed_hw,Notes\nAI,one\nAI,two\nAI_3,\n"},
        {"ANALOG_OUTPUTS_SEL", "Installed_hw,Notes\n\"AO, left\",one\n"},
        {"DIGITAL_INPUTS_SEL", "Installed_hw,Notes\nDI,one\n"},
        {"DIGITAL_OUTPUTS_SEL", "Installed_hw,Notes\nDO,one\n"},
        {"HEATER_CONTROL_SEL", "Installed_hw,Notes\n"},
        {"DETECTOR_SEL", "Installed_hw,Notes\nDET,one\n"},
        {"SOLENOID_VALVE_SEL", "Installed_hw\n\"say \"\"hi\"\"\"\n\"\"\n\"two\nlines\"\n"},
        {"EPC_SEL", "Installed_hw,Notes\nEPC,one\n"},
        {"RTD_SEL", "\xEF\xBB\xBFInstalled_hw,label\nRTD_A,RTD 1\nRTD_B,RTD 2\n"},
        {"PREAMP_STREAMING_SEL", "Installed_hw,Notes\nPRE,one\n"},
        {"ZVLTLOI_SEL", "Installed_hw,Notes\nZV,one\n"}};
    // Tables put (or removed by "") and those whose store calls fail stay as they were; the
    // others end as scanned, or as before. Lines counts trace lines and system-log records.
    auto expectScan = [&newTables](const Tables& put, std::vector<Fault> failing, int level,
                                   int lines, bool rewritten, const StringList& printed) {
        Database db;
        db.put(oldCategories());
        db.put(put);
        for (const auto& table : put)
            if (table.second.empty())
                unlink(db.file(table.first + ".csv").c_str());
        before = db.categories();
        after = rewritten ? newTables : oldCategories();
        for (const auto& table : before)
            if (put.count(table.first) != 0)
                after[table.first] = table.second;
        for (const Fault& fault : failing)
            if (fault.err != EINTR)
                after[fault.table] = before[fault.table];
        scanning = &db;
        faults = failing;
        synced = now = durable = {};
        bad.clear();
        const WholeFileOs real = std::exchange(wholeFileOs(), kTracedOs);
        calls.clear();
        int said = -1;
        const std::string preview = scanInProcess(db, 0, &said).first;
        EXPECT_TRUE(calls.empty()) << "the preview wrote";
        auto [out, err] = scanInProcess(db, level);
        if (failing.empty()) {
            expectAgreement(preview, before, db.categories());
            EXPECT_EQ(rewritten ? 1 : 2, said) << preview;
            EXPECT_EQ(rewritten ? 0 : 2, (scanInProcess(db, 0, &said), said)) << "again";
        }
        EXPECT_EQ(after, db.categories());
        EXPECT_EQ("", bad);
        for (const auto& table : after)
            EXPECT_EQ(table.second, afterPowerCut(table.first, durable)) << "not synced";
        EXPECT_EQ(lines, countOf(out, "deviceScan@") + countOf(err, "SysLog ")) << out << err;
        for (const std::string& text : printed)
            EXPECT_NE(std::string::npos, (out + err).find(text)) << out << err;
        EXPECT_EQ("", runCommand("ls " + db.path() + " | grep -F .tmp").out) << "temporary left";
        // Scanned again, only the table put back as it was before is written.
        if (failing.empty() && rewritten) {
            const std::map<std::string, ino_t> kept = inodes(db);
            db.put({{"ZVLTLOI_SEL", before["ZVLTLOI_SEL"]}});
            calls.clear();
            scanInProcess(db, 0);
            EXPECT_EQ(after, db.categories());
            EXPECT_EQ(1, calls["create"]);
            for (const auto& [table, inode] : inodes(db))
                EXPECT_EQ(table != "ZVLTLOI_SEL", inode == kept.at(table)) << table;
        }
        wholeFileOs() = real;
    };
    expectScan(
        {{"HW_CONFIG", hw}}, {}, 1, 12, true,
        {"deviceScan@145:ANALOG_INPUTS_SEL\n",
         "Table HW_CONFIG: column IO_function holds no integer in 5 of 21 rows, first in row 16: "
         "\"6.0\\x09six: the detector's code typed by ha\"...\n"});
    expectScan({{"HW_CONFIG", hw},
                {"EPC_SEL", ""},
                {"ANALOG_INPUTS_SEL", "Notes\nkeep\n"},
                {"DIGITAL_INPUTS_SEL", "A,B\n1,x\"y\n"},
                {"DIGITAL_OUTPUTS_SEL", "Installed_hw\"\n"},
                {"RTD_SEL", "Installed_hw,label,Installed_hw\nOLD,RTD 9,OLD\n"},
                {"HEATER_CONTROL_SEL", "Foo\nbar\n"}},
               {}, 1, 24, true,
               {"deviceScan@204:Table Not found :EPC_SEL\n",
                "deviceScan@205: severity 0 error 42: ::Table not found : EPC_SEL\n",
                "deviceScan@207: severity 0 error 42: ::Column not found in HEATER_CONTROL_SEL : "
                "Installed_hw; table left as it was\n",
                "DIGITAL_OUTPUTS_SEL.csv, line 1: quote inside an unquoted field\n",
                "DIGITAL_INPUTS_SEL.csv, line 2: quote inside an unquoted field\n",
                "RTD_SEL.csv, line 1: column \"Installed_hw\" named twice\n"});
    // Without HW_CONFIG, or with one that does not load or lacks a column, nothing is written.
    expectScan({}, {}, 1, 13, false,
               {"deviceScan@213:Table Not found : HW_CONFIG\n",
                "deviceScan@215: severity 0 error 42: ::Table not found : HW_CONFIG\n"});
    expectScan({{"HW_CONFIG", "IO_name\n\"\n"}}, {}, 0, 2, false,
               {"@217: severity 0 error 42: ::Table could not be loaded : HW_CONFIG; no table "
                "rewritten\n"});
    expectScan({{"HW_CONFIG", "\xEF\xBB\xBF\r\n"}}, {}, 0, 3, false, // a sheet saved empty
               {"deviceScan@219: severity 0 error 42: ::Column not found in HW_CONFIG : "
                "IO_function, IO_name; no table rewritten\n"});
    // A failed store call costs its table's rewrite and one record; EINTR is tried again.
    expectScan({{"HW_CONFIG", hw}},
               {{"create", "ANALOG_INPUTS_SEL", EACCES},
                {"write", "RTD_SEL", EIO},
                {"write", "DIGITAL_OUTPUTS_SEL", 0},
                {"fsync", "DETECTOR_SEL", EIO},
                {"rename", "ZVLTLOI_SEL", EXDEV},
                {"write", "EPC_SEL", EINTR}},
               0, 6, true,
               {"Table ANALOG_INPUTS_SEL: cannot create a temporary file",
                "RTD_SEL.csv failed: Input/output error",
                "DIGITAL_OUTPUTS_SEL.csv failed: No space left on device", "DETECTOR_SEL: fsync of",
                "ZVLTLOI_SEL: rename of"});
}

TEST(SignalStorm, ScanFinishesWithTheTablesItWouldWriteWithoutSignals) {
    if (fileExists("/var/run/debugpipe"))
        GTEST_SKIP() << "a debug server's pipe exists here; lines would not reach standard output";
    Tables tables = oldCategories();
    std::string& hw = tables["HW_CONFIG"] = "IO_name,IO_function\n";
    for (int i = 0; i < (*TEST_LAUNCHER != '\0' ? 8000 : 40000); ++i)
        hw += "\"IO, " + std::to_string(i) + "\"," + std::to_string(i % 12 + 1) + "\n";
    Database db, expected;
    db.put(tables);
    expected.put(tables);
    scanInProcess(expected, 0);
    const std::string line = "cd " + db.path() + " && ZVDB_DIR=. exec " + launcher() +
                             DEVICESCAN_BINARY " -v >out.log 2>err.log";
    pid_t pid = fork();
    if (pid == 0)
        _exit(execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr)));
    // The level handlers are in place once the first trace line is out.
    while (pid > 0 && readFile(db.file("out.log")).find("@145:") == std::string::npos) {
        ASSERT_EQ(0, waitpid(pid, nullptr, WNOHANG)) << readFile(db.file("out.log"));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // Bursts of 64 with a pause, as an unbroken stream can starve the scan for tens of
    // seconds; a scan hung in a handler is ended within the test's time limit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(45);
    int status = -1;
    long sent = 0;
    while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline)
            kill(pid, SIGKILL);
        while (++sent % 64 != 0)
            kill(pid, sent % 2 == 0 ? SIGUSR1 : SIGUSR2);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    EXPECT_EQ(0, status);
    EXPECT_EQ(expected.categories(), db.categories());
}

} // namespace
