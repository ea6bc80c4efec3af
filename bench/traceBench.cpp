// traceBench: what a trace line costs. DebugLog into a FIFO that a reader
// thread drains as the debug server does, a plain write() of the very line
// DebugLog wrote, and DebugLog at a full pipe, where the line is dropped.
// Lines go in batches that fit in the pipe, and the reader takes each batch
// before the next starts, outside the timed part: every line is delivered and
// none waits.
#include "debug.h"
#include "debugInternal.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

const char* const kText = "ANALOG_INPUTS_SEL row 12 written, 3 left";

std::string fifoPath;

void trace() {
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "traceBench", 212, "%s", kText);
}

// The debug server's end of the FIFO, the pipe as large as the system lets
// it be.
class Server {
  public:
    Server() : fd_(open(fifoPath.c_str(), O_RDONLY | O_NONBLOCK)) {
        capacity_ = fcntl(fd_, F_SETPIPE_SZ, 1 << 20);
        if (capacity_ <= 0)
            capacity_ = fcntl(fd_, F_GETPIPE_SZ);
    }
    ~Server() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        close(fd_);
    }
    long capacity() const { return capacity_; }

    // Points DebugLog at the FIFO and returns the line it writes for kText,
    // read back. What an earlier benchmark left in the pipe goes first.
    std::string traceLine() {
        char buffer[4096];
        while (read(fd_, buffer, sizeof buffer) > 0) {
        }
        debugResetChannel(fifoPath.c_str());
        trace();
        ssize_t n = read(fd_, buffer, sizeof buffer);
        return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }

    // From here on a thread reads whatever arrives.
    void start() {
        thread_ = std::thread([this] {
            char buffer[1 << 16];
            while (!stop_) {
                struct pollfd wait {
                    fd_, POLLIN, 0
                };
                poll(&wait, 1, 10);
                ssize_t n = read(fd_, buffer, sizeof buffer);
                if (n > 0)
                    taken_ += n;
            }
        });
    }

    // Waits until the thread has read total bytes; false after five seconds.
    bool waitFor(long long total) const {
        for (int i = 0; i < 100000 && taken_ < total; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        return taken_ >= total;
    }

  private:
    int fd_;
    long capacity_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long long> taken_{0};
    std::thread thread_;
};

// Runs writeLine once per iteration and, whenever half of the pipe is full,
// waits untimed for the reader to take it all.
template <typename WriteLine>
void delivered(benchmark::State& state, Server& server, std::size_t length, WriteLine writeLine) {
    server.start();
    long batch = server.capacity() / static_cast<long>(length) / 2;
    long inPipe = 0;
    long long sent = 0;
    for (auto _ : state) {
        writeLine();
        if (++inPipe == batch) {
            state.PauseTiming();
            sent += inPipe;
            inPipe = 0;
            bool taken = server.waitFor(sent * static_cast<long long>(length));
            state.ResumeTiming();
            if (!taken) {
                state.SkipWithError("lines were lost");
                break;
            }
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["line_bytes"] = static_cast<double>(length);
}

void BM_DebugLogDelivered(benchmark::State& state) {
    Server server;
    std::size_t length = server.traceLine().size();
    delivered(state, server, length, [] { trace(); });
}

void BM_WriteDelivered(benchmark::State& state) {
    Server server;
    std::string line = server.traceLine();
    int fd = open(fifoPath.c_str(), O_WRONLY | O_NONBLOCK);
    delivered(state, server, line.size(), [&] {
        if (write(fd, line.data(), line.size()) < 0)
            std::perror("traceBench: write");
    });
    close(fd);
}

// Each dropped line tells standard output so; that goes to /dev/null here.
void BM_DebugLogDropped(benchmark::State& state) {
    Server server;
    server.traceLine();
    int filler = open(fifoPath.c_str(), O_WRONLY | O_NONBLOCK);
    char block[4096] = {};
    // Full to the last byte.
    while (write(filler, block, sizeof block) > 0 || write(filler, block, 1) > 0) {
    }
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    close(devnull);
    for (auto _ : state)
        trace();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(filler);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DebugLogDelivered);
BENCHMARK(BM_WriteDelivered);
BENCHMARK(BM_DebugLogDropped);

} // namespace

int main(int argc, char** argv) {
    const char* base = std::getenv("TMPDIR");
    std::string dir = std::string(base != nullptr ? base : "/tmp") + "/traceBench.XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr) {
        std::perror("traceBench: mkdtemp");
        return 1;
    }
    fifoPath = dir + "/debugpipe";
    if (mkfifo(fifoPath.c_str(), 0600) != 0) {
        std::perror("traceBench: mkfifo");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    debugResetChannel(nullptr);
    unlink(fifoPath.c_str());
    rmdir(dir.c_str());
    return 0;
}
