// The checked system-call wrappers. Real descriptors where they fit; the
// wrappers' seam (wrappersOs) makes a call fail on demand, counts calls and
// counts ACceptWithTimeOut's pauses instead of sleeping. Fatal paths are
// death tests that match the system-log record on standard error.
#include "wrappers.h"

#include "debug.h"
#include "debugInternal.h"
#include "wrappersOs.h"

#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

using testing_support::TempDir;

// The caller's location handed to the wrappers (their file names are char*).
char caller[] = "caller.cpp";

// ---- Regular expressions for the records on standard error ----------------

std::string literal(const std::string& text) {
    std::string pattern;
    for (char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr)
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}

// One severity-0 system-log record at WHERE ("file@line"), as the log writes
// it on standard error while Syslogtodebug is set.
std::string record(const std::string& where, int error, const std::string& message) {
    return literal("SysLog " + where + ": severity 0 error " + std::to_string(error) + ": " +
                   message);
}

std::string errorText(int err) { return std::strerror(err); }

// ---- Fakes behind the seam --------------------------------------------------

const WrappersOs& real() { return realWrappersOs(); }

int calls = 0;         // calls of the fake in use
int interruptions = 0; // how many of the next calls fail with EINTR
int failWith = 0;      // errno of the always-failing fakes

bool interrupted() {
    ++calls;
    if (interruptions > 0) {
        --interruptions;
        errno = EINTR;
        return true;
    }
    return false;
}

int systemInterrupted(const char* command) {
    return interrupted() ? -1 : real().system(command);
}
int selectInterrupted(int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
    return interrupted() ? -1 : real().select(n, r, w, e, t);
}
int openInterrupted(const char* path, int flags, mode_t mode) {
    return interrupted() ? -1 : real().open(path, flags, mode);
}
ssize_t readInterrupted(int fd, void* buffer, size_t count) {
    return interrupted() ? -1 : real().read(fd, buffer, count);
}
ssize_t writeInterrupted(int fd, const void* buffer, size_t count) {
    return interrupted() ? -1 : real().write(fd, buffer, count);
}
void* mallocInterrupted(size_t size) { return interrupted() ? nullptr : real().malloc(size); }
void* reallocInterrupted(void* block, size_t size) {
    return interrupted() ? nullptr : real().realloc(block, size);
}
time_t timeInterrupted(time_t* out) { return interrupted() ? -1 : real().time(out); }
int socketInterrupted(int domain, int type, int protocol) {
    return interrupted() ? -1 : real().socket(domain, type, protocol);
}
int bindInterrupted(int socket, const sockaddr* address, socklen_t length) {
    return interrupted() ? -1 : real().bind(socket, address, length);
}
int listenInterrupted(int socket, int backlog) {
    return interrupted() ? -1 : real().listen(socket, backlog);
}

int systemFails(const char*) {
    errno = failWith;
    return -1;
}
void* mallocFails(size_t) {
    errno = failWith;
    return nullptr;
}
void* reallocFails(void*, size_t) {
    errno = failWith;
    return nullptr;
}
time_t timeFails(time_t*) {
    errno = failWith;
    return -1;
}
int socketFails(int, int, int) {
    errno = failWith;
    return -1;
}

// accept(): fails with the errno values of acceptScript in turn, then with
// acceptAfterScript (0: succeeds with kAcceptedFd). Records the address length
// that each call finds, then scribbles on it as the kernel may.
const int kAcceptedFd = 42;
std::vector<int> acceptScript;
int acceptAfterScript = 0;
std::vector<unsigned int> lengthsSeen;

// Beyond this many calls the fake accepts, so that a wrapper that never gives
// up fails its test instead of hanging it.
const int kAcceptCallLimit = 10000;

int acceptScripted(int, sockaddr*, socklen_t* length) {
    lengthsSeen.push_back(length != nullptr ? *length : 0u);
    if (length != nullptr)
        *length = 3;
    if (calls >= kAcceptCallLimit)
        return kAcceptedFd;
    std::size_t call = static_cast<std::size_t>(calls++);
    int err = call < acceptScript.size() ? acceptScript[call] : acceptAfterScript;
    if (err == 0)
        return kAcceptedFd;
    errno = err;
    return -1;
}

std::vector<unsigned int> pauses; // the seconds of each sleep() asked for
unsigned int sleepCounted(unsigned int seconds) {
    pauses.push_back(seconds);
    return 0;
}

class Wrappers : public ::testing::Test {
protected:
    void SetUp() override {
        wrappersOs() = real();
        calls = 0;
        interruptions = 0;
        failWith = 0;
        acceptScript.clear();
        acceptAfterScript = 0;
        lengthsSeen.clear();
        pauses.clear();
        savedLevel_ = DebugLevel;
        // Every record also reaches standard error, where death tests match it.
        Syslogtodebug = 1;
    }
    void TearDown() override {
        wrappersOs() = real();
        DebugLevel = savedLevel_;
        Syslogtodebug = 0;
    }

private:
    unsigned char savedLevel_ = 0;
};

// ---- Real descriptors -------------------------------------------------------

class Pipe {
public:
    explicit Pipe(int flags = 0) {
        int fds[2];
        if (pipe2(fds, flags) == 0) {
            in_ = fds[0];
            out_ = fds[1];
        }
    }
    ~Pipe() {
        closeIn();
        closeOut();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int in() const { return in_; }
    int out() const { return out_; }
    void closeIn() { closeOne(in_); }
    void closeOut() { closeOne(out_); }
    void put(const std::string& text) const {
        ASSERT_EQ(::write(out_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

private:
    static void closeOne(int& fd) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    int in_ = -1;
    int out_ = -1;
};

class SocketPair {
public:
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            first = fds[0];
            second = fds[1];
        }
    }
    ~SocketPair() {
        ::close(first);
        ::close(second);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    int first = -1;
    int second = -1;
};

// Trace lines sent to a FIFO that the test reads without blocking.
class TraceReader {
public:
    TraceReader() : path_(dir_.file("debugpipe")) {
        if (mkfifo(path_.c_str(), 0600) == 0)
            fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        debugResetChannel(path_.c_str());
    }
    ~TraceReader() {
        debugResetChannel(nullptr);
        if (fd_ >= 0)
            ::close(fd_);
    }
    TraceReader(const TraceReader&) = delete;
    TraceReader& operator=(const TraceReader&) = delete;

    bool ready() const { return fd_ >= 0; }
    std::string take() const {
        std::string text;
        char chunk[512];
        ssize_t got;
        while ((got = ::read(fd_, chunk, sizeof chunk)) > 0)
            text.append(chunk, static_cast<std::size_t>(got));
        return text;
    }

private:
    TempDir dir_;
    std::string path_;
    int fd_ = -1;
};

timeval oneMillisecond() {
    timeval t{};
    t.tv_usec = 1000;
    return t;
}

// ---- SYstem -----------------------------------------------------------------

using SYstemTest = Wrappers;
using SYstemDeathTest = Wrappers;

TEST_F(SYstemTest, ReturnsTheStatusOfACommandThatExitsNonzero) {
    int status = SYstem("sh -c 'exit 1'", caller, 10);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(SYstem("exit 0", caller, 11), 0);
}

TEST_F(SYstemTest, CallsAgainWhenInterrupted) {
    wrappersOs().system = systemInterrupted;
    interruptions = 2;
    EXPECT_EQ(SYstem("exit 0", caller, 12), 0);
    EXPECT_EQ(calls, 3);
}

TEST_F(SYstemDeathTest, LogsErrorNumber62AtItsOwnLineAndAborts) {
    wrappersOs().system = systemFails;
    failWith = ECHILD;
    EXPECT_DEATH(SYstem("true", caller, 13),
                 record("wrappers@199", 62, "System(..) call failed. err = " + errorText(ECHILD)));
}

// ---- SElect -----------------------------------------------------------------

using SElectTest = Wrappers;
using SElectDeathTest = Wrappers;

TEST_F(SElectTest, ReturnsTheReadyDescriptors) {
    SocketPair pair;
    ASSERT_EQ(::write(pair.second, "x", 1), 1);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(pair.first, &set);
    timeval timeout{};
    timeout.tv_sec = 5;
    EXPECT_EQ(SElect(pair.first, &set, &timeout, caller, 20), 1);
    EXPECT_TRUE(FD_ISSET(pair.first, &set));
}

TEST_F(SElectTest, ReturnsZeroOnTimeOutAndTracesItFromLevelTwo) {
    TraceReader trace;
    ASSERT_TRUE(trace.ready());
    SocketPair pair;
    fd_set set;
    timeval timeout = oneMillisecond();

    DebugLevel = 1;
    FD_ZERO(&set);
    FD_SET(pair.first, &set);
    EXPECT_EQ(SElect(pair.first, &set, &timeout, caller, 21), 0);
    EXPECT_EQ(trace.take(), "");

    DebugLevel = 2;
    FD_ZERO(&set);
    FD_SET(pair.first, &set);
    timeout = oneMillisecond();
    EXPECT_EQ(SElect(pair.first, &set, &timeout, caller, 22), 0);
    std::string lines = trace.take();
    EXPECT_EQ(testing_support::countOf(lines, "\n"), 1) << lines;
    EXPECT_NE(lines.find("3  0  wrappers@225:Select Timed Out\n"), std::string::npos) << lines;
}

TEST_F(SElectTest, CallsAgainWhenInterrupted) {
    wrappersOs().select = selectInterrupted;
    interruptions = 2;
    SocketPair pair;
    ASSERT_EQ(::write(pair.second, "x", 1), 1);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(pair.first, &set);
    EXPECT_EQ(SElect(pair.first, &set, nullptr, caller, 23), 1);
    EXPECT_EQ(calls, 3);
}

TEST_F(SElectDeathTest, LogsAtItsOwnLineNamingTheCallerAndAborts) {
    Pipe pipe;
    int closed = pipe.in();
    pipe.closeIn();
    fd_set set;
    FD_ZERO(&set);
    FD_SET(closed, &set);
    EXPECT_DEATH(SElect(closed, &set, nullptr, caller, 24),
                 record("wrappers@233", 0,
                        "select() failed giving error (" + errorText(EBADF) +
                            ") (called from caller.cpp@24)"));
}

// ---- OPen and CLose -----------------------------------------------------------

using OPenTest = Wrappers;
using OPenDeathTest = Wrappers;

TEST_F(OPenTest, CreatesAFileWithMode0666NarrowedByTheUmask) {
    TempDir dir;
    std::string path = dir.file("created");
    mode_t old = umask(027);
    int fd = OPen(path.c_str(), O_CREAT | O_WRONLY, caller, 30);
    umask(old);
    ASSERT_GE(fd, 0);
    struct stat info {};
    ASSERT_EQ(fstat(fd, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    ::close(fd);
}

mode_t modeSeen = 0;
int flagsSeen = 0;
int openRecorded(const char*, int flags, mode_t mode) {
    flagsSeen = flags;
    modeSeen = mode;
    return 7;
}

TEST_F(OPenTest, GivesTheCreationModeOnlyWhenTheFlagsCreate) {
    wrappersOs().open = openRecorded;
    struct Case {
        int flags;
        mode_t mode;
    };
    const Case cases[] = {
        {O_RDONLY, 0},
        {O_WRONLY | O_CREAT | O_TRUNC, 0666},
        {O_RDWR | O_TMPFILE, 0666},
        {O_RDONLY | O_DIRECTORY, 0}, // shares bits with O_TMPFILE
    };
    for (const Case& c : cases) {
        modeSeen = 01;
        EXPECT_EQ(OPen("some/path", c.flags, caller, 31), 7);
        EXPECT_EQ(flagsSeen, c.flags);
        EXPECT_EQ(modeSeen, c.mode) << "flags " << std::oct << c.flags;
    }
}

TEST_F(OPenTest, CallsAgainWhenInterrupted) {
    TempDir dir;
    testing_support::writeFile(dir.file("f"), "abc");
    wrappersOs().open = openInterrupted;
    interruptions = 3;
    int fd = OPen(dir.file("f").c_str(), O_RDONLY, caller, 32);
    EXPECT_EQ(calls, 4);
    char text[4] = {};
    EXPECT_EQ(::read(fd, text, 3), 3);
    EXPECT_STREQ(text, "abc");
    ::close(fd);
}

TEST_F(OPenDeathTest, LogsThePathAtTheCallersLocationAndAborts) {
    // A fixed path: a threadsafe death test runs the body again in its child.
    std::string path = "/nonexistent-deviceScan-test/missing";
    EXPECT_DEATH(OPen(path.c_str(), O_RDONLY, caller, 33),
                 record("caller.cpp@33", 0,
                        "open() of " + path + " failed. Error=" + errorText(ENOENT) + "."));
}

using CLoseTest = Wrappers;
using CLoseDeathTest = Wrappers;

TEST_F(CLoseTest, ClosesTheDescriptor) {
    Pipe pipe;
    int fd = pipe.in();
    EXPECT_EQ(CLose(fd, caller, 40), 0);
    errno = 0;
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    pipe.closeOut();
}

// Linux releases the descriptor before close() reports EINTR. A second call
// is only counted: it might close a descriptor that another thread just got.
int closeThenInterrupted(int fd) {
    if (++calls > 1)
        return 0;
    real().close(fd);
    errno = EINTR;
    return -1;
}

TEST_F(CLoseTest, TakesEintrAsDoneWithoutClosingAgain) {
    wrappersOs().close = closeThenInterrupted;
    Pipe pipe;
    EXPECT_EQ(CLose(pipe.in(), caller, 41), 0);
    EXPECT_EQ(calls, 1);
}

TEST_F(CLoseDeathTest, LogsAtTheCallersLocationAndAborts) {
    Pipe pipe;
    int closed = pipe.in();
    pipe.closeIn();
    EXPECT_DEATH(CLose(closed, caller, 42),
                 record("caller.cpp@42", 0, "close(..) failed. Error=" + errorText(EBADF) + "."));
}

// ---- REad and WRite ---------------------------------------------------------

using REadTest = Wrappers;
using REadDeathTest = Wrappers;

TEST_F(REadTest, ReturnsZeroWithoutARecordWhenANonBlockingPipeIsEmpty) {
    Pipe pipe(O_NONBLOCK);
    char buffer[8];
    // Syslogtodebug is set: a record would show on standard error.
    EXPECT_EXIT(_exit(REad(pipe.in(), buffer, sizeof buffer, caller, 50) == 0 ? 0 : 1),
                ::testing::ExitedWithCode(0), "^$");
}

TEST_F(REadTest, ReturnsZeroOnEagainAfterAPartialRead) {
    Pipe pipe(O_NONBLOCK);
    pipe.put("abc");
    char buffer[8];
    EXPECT_EQ(REad(pipe.in(), buffer, sizeof buffer, caller, 51), 0);
}

// A real pipe fed one piece just before each read, so that every read
// delivers exactly one piece.
const Pipe* fedPipe = nullptr;
std::vector<std::string> piecesToFeed;
std::vector<std::size_t> sizesAsked;
ssize_t readFeeding(int fd, void* buffer, size_t count) {
    if (static_cast<std::size_t>(calls) < piecesToFeed.size())
        fedPipe->put(piecesToFeed[static_cast<std::size_t>(calls)]);
    ++calls;
    sizesAsked.push_back(count);
    return real().read(fd, buffer, count);
}

TEST_F(REadTest, CollectsACountThatArrivesInThreePieces) {
    Pipe pipe;
    fedPipe = &pipe;
    piecesToFeed = {"abcd", "ef", "ghi"};
    sizesAsked.clear();
    wrappersOs().read = readFeeding;
    char buffer[10] = {};
    EXPECT_EQ(REad(pipe.in(), buffer, 9, caller, 52), 9);
    EXPECT_STREQ(buffer, "abcdefghi");
    EXPECT_EQ(sizesAsked, (std::vector<std::size_t>{9, 5, 3}));
}

TEST_F(REadTest, CallsAgainWhenInterrupted) {
    Pipe pipe;
    pipe.put("wxyz");
    wrappersOs().read = readInterrupted;
    interruptions = 2;
    char buffer[5] = {};
    EXPECT_EQ(REad(pipe.in(), buffer, 4, caller, 53), 4);
    EXPECT_STREQ(buffer, "wxyz");
    EXPECT_EQ(calls, 3);
}

// read() as usual, but a REad that keeps reading at end of file is stopped
// by EAGAIN after a few calls instead of spinning.
ssize_t readBounded(int fd, void* buffer, size_t count) {
    if (++calls > 5) {
        errno = EAGAIN;
        return -1;
    }
    return real().read(fd, buffer, count);
}

TEST_F(REadTest, ReturnsTheBytesReadSoFarAtEndOfFile) {
    Pipe pipe;
    pipe.put("abc");
    pipe.closeOut();
    wrappersOs().read = readBounded;
    char buffer[8] = {};
    EXPECT_EQ(REad(pipe.in(), buffer, sizeof buffer, caller, 54), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(REad(pipe.in(), buffer, sizeof buffer, caller, 55), 0);
}

TEST_F(REadDeathTest, LogsAtTheCallersLocationAndAborts) {
    Pipe pipe;
    char buffer[4];
    EXPECT_DEATH(REad(pipe.out(), buffer, sizeof buffer, caller, 56),
                 record("caller.cpp@56", 0,
                        "read() failed. Error=\"" + errorText(EBADF) + "\"."));
}

using WRiteTest = Wrappers;
using WRiteDeathTest = Wrappers;

TEST_F(WRiteTest, WritesTheWholeCountAndCallsAgainWhenInterrupted) {
    Pipe pipe;
    wrappersOs().write = writeInterrupted;
    interruptions = 1;
    char data[] = "hello";
    EXPECT_EQ(WRite(pipe.out(), data, 5, caller, 60), 5);
    EXPECT_EQ(calls, 2);
    char buffer[6] = {};
    EXPECT_EQ(::read(pipe.in(), buffer, 5), 5);
    EXPECT_STREQ(buffer, "hello");
}

ssize_t writeShort(int fd, const void* buffer, size_t count) {
    return real().write(fd, buffer, count - 1);
}

TEST_F(WRiteDeathTest, ShortWriteIsFatal) {
    Pipe pipe;
    wrappersOs().write = writeShort;
    char data[] = "hello";
    EXPECT_DEATH(WRite(pipe.out(), data, 5, caller, 61),
                 literal("SysLog caller.cpp@61: severity 0 error 0: write() failed. Error=\""));
}

TEST_F(WRiteDeathTest, FullNonBlockingPipeIsFatal) {
    Pipe pipe(O_NONBLOCK);
    char chunk[4096] = {};
    while (::write(pipe.out(), chunk, sizeof chunk) > 0) {
    }
    while (::write(pipe.out(), chunk, 1) > 0) {
    }
    EXPECT_DEATH(WRite(pipe.out(), chunk, 1, caller, 62),
                 record("caller.cpp@62", 0,
                        "write() failed. Error=\"" + errorText(EAGAIN) + "\"."));
}

TEST_F(WRiteDeathTest, NegativeCountIsFatal) {
    Pipe pipe;
    char data[] = "hello";
    EXPECT_DEATH(WRite(pipe.out(), data, -1, caller, 63),
                 record("caller.cpp@63", 0,
                        "write() failed. Error=\"" + errorText(EINVAL) + "\"."));
}

// ---- MAlloc, REalloc and TIme -------------------------------------------------

using MemoryTest = Wrappers;
using MemoryDeathTest = Wrappers;

TEST_F(MemoryTest, AllocatesAndResizesKeepingTheContents) {
    char* block = static_cast<char*>(MAlloc(4, caller, 70));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "abc", 4);
    block = static_cast<char*>(REalloc(block, 4096, caller, 71));
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(block, "abc");
    std::free(block);
}

TEST_F(MemoryDeathTest, MallocNullIsFatal) {
    wrappersOs().malloc = mallocFails;
    failWith = ENOMEM;
    EXPECT_DEATH(MAlloc(16, caller, 72),
                 record("caller.cpp@72", 0,
                        "malloc() failed. Error=\"" + errorText(ENOMEM) + "\"."));
}

TEST_F(MemoryDeathTest, MallocIsNotRetriedOnEintr) {
    wrappersOs().malloc = mallocInterrupted;
    interruptions = 1; // a second call would succeed
    EXPECT_DEATH(MAlloc(16, caller, 73),
                 record("caller.cpp@73", 0,
                        "malloc() failed. Error=\"" + errorText(EINTR) + "\"."));
}

TEST_F(MemoryDeathTest, ReallocNullIsFatalAndNotRetried) {
    wrappersOs().realloc = reallocFails;
    failWith = ENOMEM;
    EXPECT_DEATH(REalloc(nullptr, 16, caller, 74),
                 record("caller.cpp@74", 0,
                        "realloc() failed. Error=\"" + errorText(ENOMEM) + "\"."));
    wrappersOs().realloc = reallocInterrupted;
    interruptions = 1;
    EXPECT_DEATH(REalloc(nullptr, 16, caller, 75), literal("realloc() failed."));
}

TEST_F(MemoryTest, TimeReturnsAndStoresTheSeconds) {
    long before = static_cast<long>(std::time(nullptr));
    long stored = 0;
    long now = TIme(&stored, caller, 76);
    EXPECT_EQ(stored, now);
    EXPECT_GE(now, before);
    EXPECT_LE(now, static_cast<long>(std::time(nullptr)));
    EXPECT_GE(TIme(nullptr, caller, 77), now);
}

TEST_F(MemoryTest, TimeCallsAgainWhenInterrupted) {
    wrappersOs().time = timeInterrupted;
    interruptions = 2;
    EXPECT_GT(TIme(nullptr, caller, 78), 0);
    EXPECT_EQ(calls, 3);
}

TEST_F(MemoryDeathTest, TimeMinusOneIsFatal) {
    wrappersOs().time = timeFails;
    failWith = EOVERFLOW;
    EXPECT_DEATH(TIme(nullptr, caller, 79),
                 record("caller.cpp@79", 0,
                        "time() failed. Error=\"" + errorText(EOVERFLOW) + "\"."));
}

// ---- SOcket, BInd, LIsten and ACcept on a real socket ----------------------

using SocketTest = Wrappers;
using SocketDeathTest = Wrappers;

TEST_F(SocketTest, ServesAConnectionOnALocalSocket) {
    TempDir dir;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = dir.file("s");
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());

    int server = SOcket(AF_UNIX, SOCK_STREAM, 0, caller, 80);
    ASSERT_GE(server, 0);
    EXPECT_EQ(BInd(server, reinterpret_cast<sockaddr*>(&address), sizeof address, caller, 81), 0);
    EXPECT_EQ(LIsten(server, 4, caller, 82), 0);

    int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    sockaddr_storage peer{};
    unsigned int length = 0;
    int connection = ACcept(server, reinterpret_cast<sockaddr*>(&peer), &length, caller, 83);
    ASSERT_GE(connection, 0);
    ASSERT_EQ(::write(client, "ok", 2), 2);
    char buffer[3] = {};
    EXPECT_EQ(::read(connection, buffer, 2), 2);
    EXPECT_STREQ(buffer, "ok");
    ::close(connection);
    ::close(client);
    ::close(server);
}

TEST_F(SocketTest, SocketBindAndListenCallAgainWhenInterrupted) {
    wrappersOs().socket = socketInterrupted;
    wrappersOs().bind = bindInterrupted;
    wrappersOs().listen = listenInterrupted;
    interruptions = 1;
    int server = SOcket(AF_UNIX, SOCK_STREAM, 0, caller, 84);
    EXPECT_EQ(calls, 2);
    TempDir dir;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = dir.file("s");
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    interruptions = 1;
    EXPECT_EQ(BInd(server, reinterpret_cast<sockaddr*>(&address), sizeof address, caller, 85), 0);
    EXPECT_EQ(calls, 4);
    interruptions = 1;
    EXPECT_EQ(LIsten(server, 1, caller, 86), 0);
    EXPECT_EQ(calls, 6);
    ::close(server);
}

TEST_F(SocketDeathTest, SocketBindAndListenLogAtTheirOwnLinesNamingTheCaller) {
    wrappersOs().socket = socketFails;
    failWith = EMFILE;
    EXPECT_DEATH(SOcket(AF_INET, SOCK_STREAM, 0, caller, 87),
                 record("wrappers@489", 0, errorText(EMFILE) + " (called from caller.cpp@87)"));

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    EXPECT_DEATH(BInd(-1, reinterpret_cast<sockaddr*>(&address), sizeof address, caller, 88),
                 record("wrappers@511", 0, errorText(EBADF) + " (called from caller.cpp@88)"));

    Pipe notASocket;
    EXPECT_DEATH(LIsten(notASocket.in(), 1, caller, 89),
                 record("wrappers@530", 0, errorText(ENOTSOCK) + " (called from caller.cpp@89)"));
}

// ---- ACcept's counting --------------------------------------------------------

using ACceptTest = Wrappers;
using ACceptDeathTest = Wrappers;

int acceptNow(int timeoutSeconds) {
    sockaddr_storage peer{};
    unsigned int length = 0;
    return ACceptWithTimeOut(3, reinterpret_cast<sockaddr*>(&peer), &length, timeoutSeconds,
                             caller, 90);
}

int acceptChecked(unsigned long line) {
    sockaddr_storage peer{};
    unsigned int length = 0;
    return ACcept(3, reinterpret_cast<sockaddr*>(&peer), &length, caller, line);
}

TEST_F(ACceptTest, SurvivesSixCountedFailures) {
    wrappersOs().accept = acceptScripted;
    acceptScript = std::vector<int>(6, EMFILE);
    EXPECT_EQ(acceptChecked(91), kAcceptedFd);
    EXPECT_EQ(calls, 7);
}

TEST_F(ACceptTest, DoesNotCountAbortedConnectionsOrInterruptions) {
    wrappersOs().accept = acceptScripted;
    for (int round = 0; round < 6; ++round) {
        acceptScript.insert(acceptScript.end(), 10, ECONNABORTED);
        acceptScript.insert(acceptScript.end(), 10, EINTR);
        acceptScript.push_back(ENFILE);
    }
    acceptScript.insert(acceptScript.end(), 100, ECONNABORTED);
    EXPECT_EQ(acceptChecked(92), kAcceptedFd);
}

TEST_F(ACceptTest, StoresTheAddressLengthBeforeEveryAttemptButAfterEintr) {
    wrappersOs().accept = acceptScripted;
    acceptScript = {EINTR, ECONNABORTED, EMFILE, EINTR};
    EXPECT_EQ(acceptChecked(93), kAcceptedFd);
    EXPECT_EQ(lengthsSeen, (std::vector<unsigned int>{16, 3, 16, 16, 3}));
    EXPECT_TRUE(pauses.empty());
}

TEST_F(ACceptDeathTest, SeventhCountedFailureIsFatal) {
    wrappersOs().accept = acceptScripted;
    acceptScript = std::vector<int>(7, EMFILE);
    EXPECT_DEATH(acceptChecked(94),
                 record("wrappers@573", 0, errorText(EMFILE) + " (called from caller.cpp@94)"));
}

// ---- ACceptWithTimeOut --------------------------------------------------------

TEST_F(ACceptTest, WithTimeOutGivesUpAfterTimeoutPlusTwoFailuresAndPlusOnePauses) {
    wrappersOs().accept = acceptScripted;
    wrappersOs().sleep = sleepCounted;
    acceptAfterScript = EMFILE;
    struct Case {
        int timeout;
        int attempts;
        std::size_t pauses;
    };
    const Case cases[] = {{0, 2, 1}, {3, 5, 4}, {-1, 1, 0}, {-200, 1, 0}, {254, 256, 255}};
    for (const Case& c : cases) {
        calls = 0;
        pauses.clear();
        EXPECT_EQ(acceptNow(c.timeout), -1) << "time-out " << c.timeout;
        EXPECT_EQ(calls, c.attempts) << "time-out " << c.timeout;
        EXPECT_EQ(pauses, std::vector<unsigned int>(c.pauses, 1u)) << "time-out " << c.timeout;
    }
}

TEST_F(ACceptTest, WithTimeOutOf255OrMoreNeverGivesUp) {
    wrappersOs().accept = acceptScripted;
    wrappersOs().sleep = sleepCounted;
    for (int timeoutSeconds : {255, 1000}) {
        calls = 0;
        pauses.clear();
        acceptScript = std::vector<int>(600, EMFILE);
        EXPECT_EQ(acceptNow(timeoutSeconds), kAcceptedFd);
        EXPECT_EQ(pauses.size(), 600u);
    }
}

TEST_F(ACceptTest, WithTimeOutReturnsAConnectionThatArrivesInTime) {
    wrappersOs().accept = acceptScripted;
    wrappersOs().sleep = sleepCounted;
    acceptScript = {EMFILE, ECONNABORTED, EINTR, EMFILE, EMFILE, EMFILE};
    EXPECT_EQ(acceptNow(3), kAcceptedFd);
    EXPECT_EQ(pauses.size(), 4u);
}

TEST_F(ACceptTest, WithTimeOutGivesUpWithoutARecord) {
    wrappersOs().accept = acceptScripted;
    wrappersOs().sleep = sleepCounted;
    acceptAfterScript = EMFILE;
    EXPECT_EXIT(_exit(acceptNow(0) == -1 ? 0 : 1), ::testing::ExitedWithCode(0), "^$");
}

// ---- DiffTime -----------------------------------------------------------------

timeval at(long seconds, long microseconds) {
    timeval t{};
    t.tv_sec = seconds;
    t.tv_usec = microseconds;
    return t;
}

void expectDiff(timeval start, timeval end, long seconds, long microseconds) {
    timeval result = at(-99, -99);
    DiffTime(start, end, &result);
    EXPECT_EQ(result.tv_sec, seconds);
    EXPECT_EQ(result.tv_usec, microseconds);
}

TEST(DiffTime, SubtractsAndBorrowsASecond) {
    expectDiff(at(5, 200000), at(7, 100000), 1, 900000);
    expectDiff(at(10, 500), at(12, 500), 2, 0);
    expectDiff(at(3, 0), at(3, 999999), 0, 999999);
}

TEST(DiffTime, NeitherNormalisesNorOrdersItsInputs) {
    expectDiff(at(7, 100000), at(5, 200000), -2, 100000);
    expectDiff(at(0, 0), at(1, 2500000), 1, 2500000);
}

} // namespace
