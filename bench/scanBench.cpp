// scanBench: what a scan costs. Part one runs deviceScan and the floor program
// (the least work a scan can do: read the twelve files, replace the eleven
// tables durably with the same bytes) on generated databases of growing size
// and prints wall time, peak memory, their ratio and the growth per size.
// Part two measures the trace channel: DebugLog into a FIFO with a draining
// reader beside plain write() calls of lines of the same length, and the cost
// of a line dropped at a full pipe beside that of a delivered one.
//
//   scanBench DEVICESCAN FLOOR [ROWS...]
#include "categoryTables.h"
#include "debug.h"
#include "debugInternal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::kCategoryTables;

using Clock = std::chrono::steady_clock;

const long kDefaultRows[] = {1000, 10000, 100000, 1000000};

// Goals the figures are held against.
const double kRatioGoal = 1.5;
const long kRatioGoalFromRows = 100000;
const double kGrowthGoal = 11.0;
const double kMemoryFactor = 3.0;
const double kMemorySlackMiB = 8.0;
const double kTraceThroughputGoal = 0.5;

const double kMiB = 1024.0 * 1024.0;

// ---------------------------------------------------------------- databases

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// HW_CONFIG with rows rows over all twelve codes (10 belongs to no
// category), and category tables with a few old rows and a second column.
void makeDatabase(const std::string& dir, long rows) {
    std::string text = "IO_name,IO_function,IO_type,Location\n";
    text.reserve(static_cast<std::size_t>(rows) * 48 + 64);
    for (long i = 0; i < rows; ++i) {
        long code = i % 12 + 1;
        text += "IO_" + std::to_string(i) + ":SLOT_" + std::to_string(i % 7) + ":," +
                std::to_string(code) + ",type " + std::to_string(code) +
                (i % 5 == 0 ? ",\"slot, \"\"front\"\"\"\n" : ",base board\n");
    }
    writeText(dir + "/HW_CONFIG.csv", text);
    for (const char* table : kCategoryTables)
        writeText(dir + "/" + table + ".csv",
                  std::strcmp(table, "RTD_SEL") == 0
                      ? "Installed_hw,label\nOLD:SLOT_2:,RTD 1\n"
                      : "Installed_hw,Notes\nOLD_1,\"first, kept\"\nOLD_2,second\n");
}

long long databaseBytes(const std::string& dir) {
    long long total = 0;
    struct stat st {};
    if (stat((dir + "/HW_CONFIG.csv").c_str(), &st) == 0)
        total += st.st_size;
    for (const char* table : kCategoryTables)
        if (stat((dir + "/" + table + ".csv").c_str(), &st) == 0)
            total += st.st_size;
    return total;
}

struct Run {
    double seconds = 0;
    double peakMiB = 0;
};

// Runs a program on the database and measures its wall time and peak
// resident memory.
Run measure(const std::string& program, const std::string& dir, bool databaseAsArgument) {
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("ZVDB_DIR", dir.c_str(), 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        if (databaseAsArgument)
            execl(program.c_str(), program.c_str(), dir.c_str(), static_cast<char*>(nullptr));
        else
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    Run run;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "scanBench: %s failed (status %d)\n", program.c_str(), status);
        std::exit(1);
    }
    return run;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool scanAgainstFloor(const std::string& deviceScan, const std::string& floorProgram,
                      const std::string& work, const std::vector<long>& sizes) {
    bool met = true;
    std::printf("deviceScan against its floor, median of alternating runs\n");
    std::printf("%9s %8s %9s %9s %6s %7s %7s %10s %10s %10s\n", "rows", "db MiB", "scan ms",
                "floor ms", "ratio", "growth", "floor x", "scan MiB", "floor MiB", "limit MiB");
    double previousScan = 0;
    double previousFloor = 0;
    for (long rows : sizes) {
        std::string dir = work + "/db" + std::to_string(rows);
        mkdir(dir.c_str(), 0755);
        makeDatabase(dir, rows);
        // The first run brings the tables to what every later run writes, so
        // that the floor rewrites exactly the bytes the scan writes.
        measure(deviceScan, dir, false);
        double dbMiB = static_cast<double>(databaseBytes(dir)) / kMiB;
        int reps = rows >= 1000000 ? 3 : rows >= 100000 ? 5 : 9;
        std::vector<double> scanTimes, floorTimes, scanPeaks, floorPeaks;
        for (int i = 0; i < reps; ++i) {
            Run f = measure(floorProgram, dir, true);
            Run s = measure(deviceScan, dir, false);
            floorTimes.push_back(f.seconds);
            floorPeaks.push_back(f.peakMiB);
            scanTimes.push_back(s.seconds);
            scanPeaks.push_back(s.peakMiB);
        }
        double scan = median(scanTimes);
        double floorTime = median(floorTimes);
        double ratio = scan / floorTime;
        double growth = previousScan > 0 ? scan / previousScan : 0;
        double floorGrowth = previousFloor > 0 ? floorTime / previousFloor : 0;
        double peak = *std::max_element(scanPeaks.begin(), scanPeaks.end());
        double limit = kMemoryFactor * dbMiB + kMemorySlackMiB;
        char growthText[16] = "-";
        char floorGrowthText[16] = "-";
        if (growth > 0) {
            std::snprintf(growthText, sizeof growthText, "%.1fx", growth);
            std::snprintf(floorGrowthText, sizeof floorGrowthText, "%.1fx", floorGrowth);
        }
        std::printf("%9ld %8.1f %9.1f %9.1f %6.2f %7s %7s %10.1f %10.1f %10.1f\n", rows, dbMiB,
                    scan * 1000, floorTime * 1000, ratio, growthText, floorGrowthText, peak,
                    *std::max_element(floorPeaks.begin(), floorPeaks.end()), limit);
        if (rows >= kRatioGoalFromRows && ratio > kRatioGoal) {
            std::printf("  goal missed: ratio %.2f above %.1f\n", ratio, kRatioGoal);
            met = false;
        }
        if (growth > kGrowthGoal) {
            std::printf("  goal missed: growth %.1fx above %.0fx\n", growth, kGrowthGoal);
            met = false;
        }
        if (peak > limit) {
            std::printf("  goal missed: peak %.1f MiB above %.1f MiB\n", peak, limit);
            met = false;
        }
        previousScan = scan;
        previousFloor = floorTime;
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    return met;
}

// ---------------------------------------------------------------- trace channel

// Reads the FIFO until told to stop, as a debug server would.
class Drain {
  public:
    explicit Drain(const std::string& path) {
        fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        // A large pipe, so that a whole batch of lines fits in it.
        capacity_ = fcntl(fd_, F_SETPIPE_SZ, 1 << 20);
        if (capacity_ <= 0)
            capacity_ = fcntl(fd_, F_GETPIPE_SZ);
        thread_ = std::thread([this] {
            char buffer[65536];
            while (!stop_) {
                struct pollfd wait {
                    fd_, POLLIN, 0
                };
                poll(&wait, 1, 10);
                ssize_t n = read(fd_, buffer, sizeof buffer);
                if (n > 0)
                    bytes_ += n;
            }
        });
    }
    ~Drain() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    long long bytes() const { return bytes_; }
    long capacity() const { return capacity_; }
    // Waits (untimed) until the reader has taken total bytes.
    void waitFor(long long total) const {
        for (int i = 0; i < 100000 && bytes_ < total; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }

  private:
    int fd_ = -1;
    long capacity_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long long> bytes_{0};
    std::thread thread_;
};

// Standard output goes to /dev/null while the trace channel is measured: the
// drop notices would otherwise flood the report.
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        close(devnull);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

  private:
    int saved_ = -1;
};

const char* const kTraceText = "ANALOG_INPUTS_SEL row 12 written, 3 left";
const long kTraceLines = 200000;
const long kDropLines = 200000;

// Times lines written in batches that fit the pipe, each batch drained
// before the next: every line is delivered, none waits. Returns seconds.
template <typename WriteLine>
double timeDelivered(const Drain& drain, std::size_t lineLength, WriteLine writeLine,
                     long long& delivered) {
    long batch = std::max(1L, drain.capacity() / static_cast<long>(lineLength) / 2);
    double seconds = 0;
    long long start = drain.bytes();
    for (long done = 0; done < kTraceLines; done += batch) {
        long lines = std::min(batch, kTraceLines - done);
        auto begin = Clock::now();
        for (long i = 0; i < lines; ++i)
            writeLine();
        seconds += std::chrono::duration<double>(Clock::now() - begin).count();
        drain.waitFor(start +
                      static_cast<long long>(done + lines) * static_cast<long long>(lineLength));
    }
    delivered = drain.bytes() - start;
    return seconds;
}

bool traceChannel(const std::string& work) {
    bool met = true;
    std::string fifo = work + "/debugpipe";
    mkfifo(fifo.c_str(), 0600);

    // A line of the trace format with this text: header, prefix, text, newline.
    char sample[512];
    int n = std::snprintf(sample, sizeof sample,
                          "01-01-2024 00:00:00 :  pid (%d) 3  0  scanBench@212:%s\n",
                          static_cast<int>(getpid()), kTraceText);
    std::size_t lineLength = static_cast<std::size_t>(n);
    std::string line(sample, lineLength);

    double traceSeconds = 1e9;
    double plainSeconds = 1e9;
    long long traceBytes = 0;
    long long plainBytes = 0;
    for (int round = 0; round < 3; ++round) {
        {
            Drain drain(fifo);
            debugResetChannel(fifo.c_str());
            QuietStdout quiet;
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "scanBench", 212, "%s", kTraceText);
            drain.waitFor(static_cast<long long>(lineLength));
            traceSeconds =
                std::min(traceSeconds, timeDelivered(
                                           drain, lineLength,
                                           [] {
                                               DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "scanBench",
                                                        212, "%s", kTraceText);
                                           },
                                           traceBytes));
        }
        {
            Drain drain(fifo);
            int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            plainSeconds =
                std::min(plainSeconds, timeDelivered(
                                           drain, lineLength,
                                           [&] {
                                               if (write(fd, line.data(), line.size()) < 0)
                                                   std::perror("scanBench: write");
                                           },
                                           plainBytes));
            close(fd);
        }
    }
    double traceRate = kTraceLines / traceSeconds;
    double plainRate = kTraceLines / plainSeconds;
    double deliveredNs = traceSeconds / kTraceLines * 1e9;
    double expected = static_cast<double>(lineLength) * kTraceLines;
    std::printf("\nTrace channel, %zu-byte lines, best of 3 rounds of %ld lines, all delivered\n",
                lineLength, kTraceLines);
    std::printf("  DebugLog into a drained FIFO: %9.0f lines/s (%.0f ns a line, %.1f%% arrived)\n",
                traceRate, deliveredNs, 100.0 * static_cast<double>(traceBytes) / expected);
    std::printf("  plain write() of the same   : %9.0f lines/s (%.0f ns a line, %.1f%% arrived)\n",
                plainRate, plainSeconds / kTraceLines * 1e9,
                100.0 * static_cast<double>(plainBytes) / expected);
    double ratio = traceRate / plainRate;
    std::printf("  ratio DebugLog/plain        : %9.2f\n", ratio);
    if (ratio < kTraceThroughputGoal) {
        std::printf("  goal missed: below %.1f of the plain writes\n", kTraceThroughputGoal);
        met = false;
    }

    // A pipe that nobody drains: every line is dropped.
    double dropSeconds = 1e9;
    {
        int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        debugResetChannel(fifo.c_str());
        int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        char block[4096] = {};
        while (write(filler, block, sizeof block) > 0) {
        }
        while (write(filler, block, 1) > 0) {
        }
        QuietStdout quiet;
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "scanBench", 1, "%s", kTraceText);
        for (int round = 0; round < 3; ++round) {
            auto start = Clock::now();
            for (long i = 0; i < kDropLines; ++i)
                DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "scanBench", 212, "%s", kTraceText);
            dropSeconds =
                std::min(dropSeconds, std::chrono::duration<double>(Clock::now() - start).count());
        }
        close(filler);
        close(reader);
    }
    double droppedNs = dropSeconds / kDropLines * 1e9;
    std::printf("  dropped line (pipe full)    : %9.0f ns, delivered line %.0f ns\n", droppedNs,
                deliveredNs);
    if (droppedNs > deliveredNs) {
        std::printf("  goal missed: a dropped line costs more than a delivered one\n");
        met = false;
    }
    debugResetChannel(nullptr);
    unlink(fifo.c_str());
    return met;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: scanBench DEVICESCAN FLOOR [ROWS...]\n");
        return 2;
    }
    std::vector<long> sizes;
    for (int i = 3; i < argc; ++i)
        sizes.push_back(std::atol(argv[i]));
    if (sizes.empty())
        sizes.assign(std::begin(kDefaultRows), std::end(kDefaultRows));

    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/scanBench.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        std::perror("scanBench: mkdtemp");
        return 1;
    }
    bool met = scanAgainstFloor(argv[1], argv[2], pattern, sizes);
    met = traceChannel(pattern) && met;
    std::system(("rm -rf '" + pattern + "'").c_str());
    std::printf("\n%s\n", met ? "All goals met." : "Some goals missed (see above).");
    return 0;
}
