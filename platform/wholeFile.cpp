// Whole-file reading and durable replacement, shared by the table store and
// the operator-panel address file.
#include "wholeFile.h"

#include "wholeFileOs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

const char* const kTemporarySuffix = ".tmpXXXXXX";
const std::size_t kRandomCharacters = 6;
// Names tried before giving up on a directory that holds every one of them.
const int kCreateAttempts = 100;
// A file that is not there is created as open(2) creates any new file; a
// replacement stays private until it has the old file's owner and mode.
const mode_t kNewFileMode = 0666;
const mode_t kPrivateMode = 0600;
const std::size_t kChunk = 65536;

int openCreate(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

// Closes a descriptor on every way out of a scope.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Opens path for reading without blocking and takes its status; -1 with
// err set when it cannot be opened or is no regular file.
int openRegular(const std::string& path, struct stat& st, int& err) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = kNotRegularFile;
    else
        return fd;
    ::close(fd);
    return -1;
}

// Reads up to size bytes, going on after interruptions; the count read, or
// -1 with errno set.
ssize_t readSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = wholeFileOs().read(fd, buffer, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// Whether the regular file at path holds exactly content; when it does, its
// descriptor is handed back in fd for the sync.
bool holdsExactly(const std::string& path, const std::string& content, int& fd) {
    struct stat st {};
    int err = 0;
    fd = openRegular(path, st, err);
    if (fd < 0)
        return false;
    bool same = static_cast<unsigned long long>(st.st_size) == content.size();
    char buffer[kChunk];
    for (std::size_t at = 0; same && at < content.size();) {
        ssize_t n = readSome(fd, buffer, sizeof buffer);
        same = n > 0 && static_cast<std::size_t>(n) <= content.size() - at &&
               std::memcmp(buffer, content.data() + at, static_cast<std::size_t>(n)) == 0;
        at += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    // Nothing may follow: the file may have grown since fstat.
    same = same && readSome(fd, buffer, 1) == 0;
    if (!same) {
        ::close(fd);
        fd = -1;
    }
    return same;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = wholeFileOs().write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// FILE.tmpXXXXXX beside the file, the file's name cut so that the whole
// fits one directory entry.
std::string temporaryPattern(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    std::size_t room = NAME_MAX - std::strlen(kTemporarySuffix);
    return path.substr(0, nameAt) + path.substr(nameAt, room) + kTemporarySuffix;
}

// Creates the temporary file from pattern, its X's replaced by random
// letters and digits, with mode (less the umask).
int createTemporary(std::string& name, mode_t mode) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::atomic<unsigned long> counter{0};
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long seed = static_cast<unsigned long long>(now.tv_nsec) ^
                              (static_cast<unsigned long long>(::getpid()) << 20) ^ ++counter;
    const std::size_t at = name.size() - kRandomCharacters;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        for (std::size_t i = 0; i < kRandomCharacters; ++i) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            name[at + i] = kLetters[(seed >> 33) % (sizeof kLetters - 1)];
        }
        int fd = wholeFileOs().create(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Gives the temporary file the old file's owner, group and mode. The owner
// goes first: a change of owner may clear the set-id bits that the mode then
// restores. False only when the mode cannot be set.
bool keepOwnerAndMode(int fd, const struct stat& old, ReplaceResult& result) {
    if (wholeFileOs().fchown(fd, old.st_uid, old.st_gid) != 0) {
        result.ownerError = errno;
        result.owner = old.st_uid;
        result.group = old.st_gid;
        result.groupKept = wholeFileOs().fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
    }
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

ReplaceResult failed(ReplaceResult result, ReplaceStep step, int err) {
    result.failed = step;
    result.error = err;
    return result;
}

} // namespace

WholeFileOs& wholeFileOs() {
    static WholeFileOs os = {openCreate, ::read, ::write, ::fsync, ::fchown, ::rename};
    return os;
}

bool readWholeFile(const std::string& path, std::size_t limit, std::string& text, int& err) {
    struct stat st {};
    Descriptor fd(openRegular(path, st, err));
    if (fd.get() < 0)
        return false;
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        err = EFBIG;
        return false;
    }
    text.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[kChunk];
    for (;;) {
        ssize_t n = readSome(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            err = errno;
            return false;
        }
        if (n == 0)
            return true;
        // The file may have grown since fstat.
        if (static_cast<std::size_t>(n) > limit - text.size()) {
            err = EFBIG;
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

const char* wholeFileError(int err) {
    return err == kNotRegularFile ? "not a regular file" : std::strerror(err);
}

ReplaceResult replaceWholeFile(const std::string& path, const std::string& content) {
    ReplaceResult result;
    int same = -1;
    if (holdsExactly(path, content, same)) {
        Descriptor closer(same);
        if (wholeFileOs().fsync(same) != 0)
            return failed(result, ReplaceStep::sync, errno);
        return result;
    }
    struct stat old {};
    const bool replacing = ::stat(path.c_str(), &old) == 0;
    std::string temp = temporaryPattern(path);
    int fd = createTemporary(temp, replacing ? kPrivateMode : kNewFileMode);
    if (fd < 0)
        return failed(result, ReplaceStep::create, errno);
    ReplaceStep step = ReplaceStep::none;
    int err = 0;
    if (replacing && !keepOwnerAndMode(fd, old, result))
        step = ReplaceStep::keepMode;
    else if (!writeAll(fd, content))
        step = ReplaceStep::write;
    else if (wholeFileOs().fsync(fd) != 0)
        step = ReplaceStep::sync;
    if (step != ReplaceStep::none)
        err = errno;
    if (::close(fd) != 0 && step == ReplaceStep::none) {
        step = ReplaceStep::close;
        err = errno;
    }
    if (step == ReplaceStep::none && wholeFileOs().rename(temp.c_str(), path.c_str()) != 0) {
        step = ReplaceStep::rename;
        err = errno;
    }
    if (step != ReplaceStep::none) {
        ::unlink(temp.c_str());
        return failed(result, step, err);
    }
    Descriptor dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || wholeFileOs().fsync(dir.get()) != 0)
        return failed(result, ReplaceStep::syncDirectory, errno);
    return result;
}

const char* replaceStepName(ReplaceStep step) {
    // In the order of ReplaceStep.
    static const char* const kNames[] = {"none",  "create", "chmod",  "write",
                                         "fsync", "close",  "rename", "directory sync"};
    return kNames[static_cast<int>(step)];
}
