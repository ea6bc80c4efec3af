// File-backed table store: one CSV file per table in a database directory.
#include "zvTable.h"

#include "csv.h"
#include "sysLog.h"
#include "tableStoreOs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kStoreFile = "zvTable";
const char* const kDefaultDirectory = "/nvdata/configdb";
const char* const kDirectoryVariable = "ZVDB_DIR";
// Values set over and over leave dead bytes behind; past this many, and
// past half of what is held, they are squeezed out.
const std::size_t kCompactAbove = 1 << 20;

TableStoreOs realOs() {
    return TableStoreOs{::mkstemp, ::write, ::fsync, ::rename};
}

// Table names become file names: refuse anything that could leave the directory.
bool isPlainName(const char* name) {
    if (name == nullptr || *name == '\0' || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0)
        return false;
    return std::strchr(name, '/') == nullptr;
}

bool readWholeFile(const std::string& path, std::string& text, int& err) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
        text.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

// Column names are short: compared eight bytes at a time instead of through a
// memcmp call, which costs more than the rest of a cell read.
bool sameText(const std::string& a, const std::string& b) {
    std::size_t size = a.size();
    if (size != b.size())
        return false;
    const char* x = a.data();
    const char* y = b.data();
    std::uint64_t u = 0;
    std::uint64_t v = 0;
    while (size >= 8) {
        std::memcpy(&u, x, 8);
        std::memcpy(&v, y, 8);
        if (u != v)
            return false;
        x += 8;
        y += 8;
        size -= 8;
    }
    for (std::size_t i = 0; i < size; ++i)
        if (x[i] != y[i])
            return false;
    return true;
}

// The whole of size bytes as a decimal integer with an optional sign.
bool parseLong(const char* text, std::size_t size, long& value) {
    std::size_t i = 0;
    bool negative = false;
    if (size > 0 && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == size)
        return false;
    // Accumulated on the negative side, which holds LONG_MIN.
    long result = 0;
    for (; i < size; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        int digit = text[i] - '0';
        if (result < (LONG_MIN + digit) / 10)
            return false;
        result = result * 10 - digit;
    }
    if (!negative) {
        if (result == LONG_MIN)
            return false;
        result = -result;
    }
    value = result;
    return true;
}

std::string directoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes all of data, retrying short writes and interruptions.
bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = tableStoreOs().write(fd, data.data() + done, data.size() - done);
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

} // namespace

TableStoreOs& tableStoreOs() {
    static TableStoreOs os = realOs();
    return os;
}

// ---------------------------------------------------------------- ZVTABLE

ZVTABLE::ZVTABLE(std::string name, std::string path)
    : name_(std::move(name)), path_(std::move(path)) {}

void ZVTABLE::clear() {
    loaded_ = false;
    columns_.clear();
    cells_ = std::vector<CsvSpan>();
    text_ = std::string();
    extra_ = std::string();
    extraGarbage_ = 0;
    rows_ = 0;
    lastColumn_.clear();
    lastIndex_ = -1;
}

int ZVTABLE::read_table_data() {
    clear();
    std::string text;
    int err = 0;
    if (!readWholeFile(path_, text, err)) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: cannot read %s: %s", name_.c_str(), path_.c_str(), std::strerror(err));
        return 1;
    }
    CsvError error;
    if (!parseCsvSpans(text, columns_, cells_, extra_, error)) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: malformed file %s, line %zu: %s", name_.c_str(), path_.c_str(),
               error.line, error.what.c_str());
        clear();
        return 1;
    }
    std::size_t rows = columns_.empty() ? 0 : cells_.size() / columns_.size();
    if (rows > static_cast<std::size_t>(INT_MAX)) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: too many rows in %s", name_.c_str(), path_.c_str());
        clear();
        return 1;
    }
    text_ = std::move(text);
    rows_ = static_cast<int>(rows);
    loaded_ = true;
    return 0;
}

int ZVTABLE::get_stored_rows() {
    return rows_;
}

int ZVTABLE::columnIndex(const std::string& column) {
    if (lastIndex_ >= 0 && sameText(column, lastColumn_))
        return lastIndex_;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        if (columns_[i] == column) {
            lastColumn_ = column;
            lastIndex_ = static_cast<int>(i);
            return lastIndex_;
        }
    }
    return -1;
}

bool ZVTABLE::cell(const std::string& column, int row, const char*& data, std::size_t& size) {
    int col = columnIndex(column);
    if (col < 0 || row < 0 || row >= rows_)
        return false;
    std::size_t at =
        static_cast<std::size_t>(row) * columns_.size() + static_cast<std::size_t>(col);
    // A row counted by set_stored_rows but never set holds empty cells.
    if (at >= cells_.size()) {
        data = "";
        size = 0;
        return true;
    }
    const CsvSpan& span = cells_[at];
    data = (span.inExtra != 0 ? extra_.data() : text_.data()) + span.offset;
    size = span.size;
    return true;
}

int ZVTABLE::get(std::string column, int row, long& value) {
    const char* data = nullptr;
    std::size_t size = 0;
    if (!cell(column, row, data, size))
        return 1;
    return parseLong(data, size, value) ? 0 : 1;
}

int ZVTABLE::get(std::string column, int row, std::string& value) {
    const char* data = nullptr;
    std::size_t size = 0;
    if (!cell(column, row, data, size))
        return 1;
    value.assign(data, size);
    return 0;
}

int ZVTABLE::get(std::string column, StringList& values) {
    int col = columnIndex(column);
    if (col < 0)
        return 1;
    const char* data = nullptr;
    std::size_t size = 0;
    for (int row = 0; row < rows_; ++row) {
        cell(column, row, data, size);
        values.emplace_back(data, size);
    }
    return 0;
}

int ZVTABLE::set(std::string column, int row, std::string value) {
    int col = columnIndex(column);
    if (col < 0 || row < 0)
        return 1;
    // Spans address at most kCsvMaxText bytes.
    if (value.size() > kCsvMaxText - extra_.size()) {
        compactExtra();
        if (value.size() > kCsvMaxText - extra_.size())
            return 1;
    }
    std::size_t width = columns_.size();
    std::size_t at = static_cast<std::size_t>(row) * width + static_cast<std::size_t>(col);
    if (at >= cells_.size())
        cells_.resize((static_cast<std::size_t>(row) + 1) * width, CsvSpan{});
    CsvSpan& span = cells_[at];
    if (span.inExtra != 0)
        extraGarbage_ += span.size;
    span.offset = static_cast<std::uint32_t>(extra_.size());
    span.size = static_cast<std::uint32_t>(value.size());
    span.inExtra = 1;
    extra_ += value;
    if (row >= rows_)
        rows_ = row + 1;
    // A table set over and over keeps no more than twice its live bytes.
    if (extraGarbage_ > kCompactAbove && extraGarbage_ > extra_.size() / 2)
        compactExtra();
    return 0;
}

void ZVTABLE::compactExtra() {
    std::string kept;
    kept.reserve(extra_.size() - std::min(extraGarbage_, extra_.size()));
    for (CsvSpan& span : cells_) {
        if (span.inExtra == 0)
            continue;
        std::size_t offset = kept.size();
        kept.append(extra_, span.offset, span.size);
        span.offset = static_cast<std::uint32_t>(offset);
    }
    extra_ = std::move(kept);
    extraGarbage_ = 0;
}

int ZVTABLE::set_stored_rows(int rows) {
    if (rows < 0)
        return 1;
    // Rows cut off are gone: a later set or a larger count brings them back
    // empty, not with the cells they held before.
    std::size_t keep = static_cast<std::size_t>(rows) * columns_.size();
    if (keep < cells_.size())
        cells_.resize(keep);
    rows_ = rows;
    return 0;
}

int ZVTABLE::write_table_data() {
    if (!loaded_) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s was not loaded; %s is left as it was", name_.c_str(), path_.c_str());
        return 1;
    }
    std::size_t width = columns_.size();
    std::size_t keep = static_cast<std::size_t>(rows_) * width;
    if (cells_.size() < keep)
        cells_.resize(keep, CsvSpan{});

    std::size_t estimate = 64;
    for (std::size_t at = 0; at < keep; ++at)
        estimate += cells_[at].size + 1;
    std::string out;
    out.reserve(estimate + estimate / 16);
    appendCsvRecord(out, columns_.data(), width);
    const char* text = text_.data();
    const char* extra = extra_.data();
    for (std::size_t at = 0; at < keep; at += width) {
        for (std::size_t col = 0; col < width; ++col) {
            const CsvSpan& span = cells_[at + col];
            if (col != 0)
                out.push_back(',');
            appendCsvField(out, (span.inExtra != 0 ? extra : text) + span.offset, span.size,
                           width == 1);
        }
        out.push_back('\n');
    }

    std::string temp = path_ + ".tmpXXXXXX";
    int fd = tableStoreOs().mkstemp(&temp[0]);
    if (fd < 0) {
        int err = errno;
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: cannot create a temporary file beside %s: %s", name_.c_str(),
               path_.c_str(), std::strerror(err));
        return 1;
    }
    // Keep the table's permissions; mkstemp creates the file private.
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0)
        ::fchmod(fd, st.st_mode & 07777);

    const char* step = nullptr;
    if (!writeAll(fd, out))
        step = "write";
    else if (tableStoreOs().fsync(fd) != 0)
        step = "fsync";
    int err = errno;
    if (::close(fd) != 0 && step == nullptr) {
        step = "close";
        err = errno;
    }
    if (step == nullptr && tableStoreOs().rename(temp.c_str(), path_.c_str()) != 0) {
        step = "rename";
        err = errno;
    }
    if (step != nullptr) {
        ::unlink(temp.c_str());
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: %s of the new %s failed: %s; the table is left as it was", name_.c_str(),
               step, path_.c_str(), std::strerror(err));
        return 1;
    }
    // Make the rename itself durable.
    int dir = ::open(directoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        tableStoreOs().fsync(dir);
        ::close(dir);
    }
    return 0;
}

// ---------------------------------------------------------------- ZV_MASTER_TABLE

ZV_MASTER_TABLE::ZV_MASTER_TABLE(StringList& tableNames, char /*flag*/) : tableNames_(tableNames) {}

ZV_MASTER_TABLE::~ZV_MASTER_TABLE() = default;

int ZV_MASTER_TABLE::init_data_table(char* name, task_id, access_level, long, long,
                                     pthread_mutex_t*) {
    tables_.clear();
    if (name != nullptr && *name != '\0') {
        directory_ = name;
    } else {
        const char* env = std::getenv(kDirectoryVariable);
        directory_ = (env != nullptr && *env != '\0') ? env : kDefaultDirectory;
    }
    struct stat st {};
    if (::stat(directory_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Configuration database %s is not a directory", directory_.c_str());
        return 1;
    }
    for (const std::string& table : tableNames_)
        get_class_pointer(table.c_str());
    return 0;
}

ZVTABLE* ZV_MASTER_TABLE::get_class_pointer(const char* tableName) {
    if (directory_.empty() || !isPlainName(tableName))
        return nullptr;
    auto found = tables_.find(tableName);
    if (found != tables_.end())
        return found->second.get();
    std::string path = directory_ + "/" + tableName + ".csv";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    auto table = std::make_unique<ZVTABLE>(tableName, path);
    ZVTABLE* handle = table.get();
    tables_.emplace(tableName, std::move(table));
    return handle;
}
