// File-backed table store: one CSV file per table in a database directory.
//
// A table keeps its file as loaded and each cell as a span of it; values set
// since are appended to a second buffer. Both buffers, the spans and the
// file written back are bounded by what one table file can hold here (see
// maxTableText), so that sizes never wrap on the 32-bit controller and no
// table is written that could not be loaded again.
#include "zvTable.h"

#include "csv.h"
#include "sysLog.h"
#include "wholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

const char* const kStoreFile = "zvTable";
const char* const kDefaultDirectory = "/nvdata/configdb";
const char* const kDirectoryVariable = "ZVDB_DIR";
const char* const kTableSuffix = ".csv";
// Values set over and over leave dead bytes behind; past this many, and
// past half of what is held, they are squeezed out.
const std::size_t kCompactAbove = 1 << 20;

// The largest table file this build can load: spans address kCsvMaxText
// bytes, but a std::string on the 32-bit controller holds only about 1 GiB.
std::size_t maxTableText() {
    static const std::size_t limit = std::min(kCsvMaxText, std::string().max_size());
    return limit;
}

// Table names become file names: refuse anything that could leave the directory.
bool isPlainName(const char* name) {
    if (name == nullptr || *name == '\0' || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0)
        return false;
    return std::strchr(name, '/') == nullptr;
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

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The whole of size bytes as a decimal integer with an optional sign. Blanks
// and tabs around it are what a hand-edited file holds; inside it they are not.
bool parseLong(const char* text, std::size_t size, long& value) {
    while (size > 0 && isBlank(text[size - 1]))
        --size;
    std::size_t i = 0;
    while (i < size && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < size && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
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

} // namespace

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
    byteOrderMark_ = false;
    failedSets_ = 0;
    reported_ = 0;
    missingReported_.clear();
    integersReported_.clear();
    lastIndex_ = -1;
}

bool ZVTABLE::firstOf(unsigned kind) {
    const bool first = (reported_ & kind) == 0;
    reported_ |= kind;
    return first;
}

int ZVTABLE::outOfMemory(const char* doing, const std::exception& e) {
    if (firstOf(kNoMemory))
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: not enough memory to %s %s (%s)", name_.c_str(), doing, path_.c_str(),
               e.what());
    return 1;
}

int ZVTABLE::read_table_data() {
    clear();
    try {
        return load();
    } catch (const std::exception& e) {
        clear();
        return outOfMemory("load", e);
    }
}

int ZVTABLE::load() {
    std::string text;
    int err = 0;
    if (!readWholeFile(path_, maxTableText(), text, err)) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: cannot read %s: %s", name_.c_str(), path_.c_str(), wholeFileError(err));
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
    std::size_t rows = cells_.size() / columns_.size();
    if (rows > static_cast<std::size_t>(INT_MAX) || !rowsFit(rows)) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: too many rows in %s", name_.c_str(), path_.c_str());
        clear();
        return 1;
    }
    integersReported_.assign(columns_.size(), false);
    byteOrderMark_ = startsWithByteOrderMark(text);
    text_ = std::move(text);
    rows_ = static_cast<int>(rows);
    loaded_ = true;
    return 0;
}

int ZVTABLE::get_stored_rows() {
    return rows_;
}

int ZVTABLE::columnIndex(const std::string& column) {
    if (lastIndex_ >= 0 && sameText(column, columns_[static_cast<std::size_t>(lastIndex_)]))
        return lastIndex_;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        if (columns_[i] == column) {
            lastIndex_ = static_cast<int>(i);
            return lastIndex_;
        }
    }
    return -1;
}

int ZVTABLE::missingColumn(const std::string& column) {
    // A table that failed to load has no columns; its load was reported.
    if (!loaded_ || std::find(missingReported_.begin(), missingReported_.end(), column) !=
                        missingReported_.end())
        return 1;
    try {
        missingReported_.push_back(column);
    } catch (const std::exception&) {
        // Reported again next time; nothing else depends on the list.
    }
    SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
           "Table %s: no column %s in %s", name_.c_str(), column.c_str(), path_.c_str());
    return 1;
}

bool ZVTABLE::cellAt(int col, int row, const char*& data, std::size_t& size) const {
    if (row < 0 || row >= rows_)
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

// Runs on the first failed integer read of a column only: the reads that
// succeed, millions in a scan, pay nothing for it.
void ZVTABLE::reportNonIntegers(int col) {
    integersReported_[static_cast<std::size_t>(col)] = true;
    int first = -1;
    const char* firstData = "";
    std::size_t firstSize = 0;
    int count = 0;
    for (int row = 0; row < rows_; ++row) {
        const char* data = nullptr;
        std::size_t size = 0;
        long ignored = 0;
        cellAt(col, row, data, size);
        if (parseLong(data, size, ignored))
            continue;
        if (count++ == 0) {
            first = row;
            firstData = data;
            firstSize = size;
        }
    }
    char text[kCsvExcerptSize];
    csvExcerpt(firstData, firstSize, text);
    SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
           "Table %s: column %s holds no integer in %d of %d rows, first in row %d: %s",
           name_.c_str(), columns_[static_cast<std::size_t>(col)].c_str(), count, rows_, first,
           text);
}

int ZVTABLE::get(std::string column, int row, long& value) {
    int col = columnIndex(column);
    if (col < 0)
        return missingColumn(column);
    const char* data = nullptr;
    std::size_t size = 0;
    if (!cellAt(col, row, data, size))
        return 1;
    if (parseLong(data, size, value))
        return 0;
    if (!integersReported_[static_cast<std::size_t>(col)])
        reportNonIntegers(col);
    return 1;
}

int ZVTABLE::get(std::string column, int row, std::string& value) {
    int col = columnIndex(column);
    if (col < 0)
        return missingColumn(column);
    const char* data = nullptr;
    std::size_t size = 0;
    if (!cellAt(col, row, data, size))
        return 1;
    try {
        value.assign(data, size);
    } catch (const std::exception& e) {
        return outOfMemory("read a cell of", e);
    }
    return 0;
}

int ZVTABLE::get(std::string column, StringList& values) {
    int col = columnIndex(column);
    if (col < 0)
        return missingColumn(column);
    const std::size_t before = values.size();
    try {
        for (int row = 0; row < rows_; ++row) {
            const char* data = nullptr;
            std::size_t size = 0;
            cellAt(col, row, data, size);
            values.emplace_back(data, size);
        }
    } catch (const std::exception& e) {
        values.erase(values.begin() + static_cast<std::ptrdiff_t>(before), values.end());
        return outOfMemory("read a column of", e);
    }
    return 0;
}

// Every row of a table file takes at least one byte a column (a lone empty
// column two, its quotes), and the file must load again: more rows than that
// are refused, which also keeps rows times columns from wrapping.
bool ZVTABLE::rowsFit(std::size_t rows) const {
    std::size_t width = std::max<std::size_t>(columns_.size(), 2);
    return rows <= maxTableText() / width;
}

int ZVTABLE::refuseRow(const char* what, int row) {
    if (firstOf(kRowRefused))
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: %s %d refused; a file of %zu columns holds 0 to %zu rows", name_.c_str(),
               what, row, columns_.size(),
               maxTableText() / std::max<std::size_t>(columns_.size(), 2));
    return 1;
}

int ZVTABLE::set(std::string column, int row, std::string value) {
    int col = columnIndex(column);
    if (col < 0) {
        ++failedSets_;
        return missingColumn(column);
    }
    if (row < 0 || !rowsFit(static_cast<std::size_t>(row) + 1)) {
        ++failedSets_;
        return refuseRow("row", row);
    }
    const std::size_t limit = maxTableText();
    if (value.size() > limit - extra_.size()) {
        compactExtra();
        if (value.size() > limit - extra_.size()) {
            ++failedSets_;
            if (firstOf(kTextTooLong))
                SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
                       "Table %s: a text of %zu bytes for column %s does not fit", name_.c_str(),
                       value.size(), column.c_str());
            return 1;
        }
    }
    const std::size_t width = columns_.size();
    const std::size_t at = static_cast<std::size_t>(row) * width + static_cast<std::size_t>(col);
    const std::size_t cellsBefore = cells_.size();
    const std::size_t offset = extra_.size();
    try {
        if (at >= cells_.size())
            cells_.resize((static_cast<std::size_t>(row) + 1) * width, CsvSpan{});
        extra_ += value;
    } catch (const std::exception& e) {
        cells_.resize(cellsBefore);
        extra_.resize(offset);
        ++failedSets_;
        return outOfMemory("set a cell of", e);
    }
    CsvSpan& span = cells_[at];
    if (span.inExtra != 0)
        extraGarbage_ += span.size;
    span.offset = static_cast<std::uint32_t>(offset);
    span.size = static_cast<std::uint32_t>(value.size());
    span.inExtra = 1;
    if (row >= rows_)
        rows_ = row + 1;
    compactIfWasteful();
    return 0;
}

// A table set over and over keeps no more than twice its live bytes.
void ZVTABLE::compactIfWasteful() {
    if (extraGarbage_ > kCompactAbove && extraGarbage_ > extra_.size() / 2)
        compactExtra();
}

// Copies the live bytes of extra_ into a buffer of their exact size, so that
// nothing can fail once the first span has been moved. False, with nothing
// changed, when that buffer cannot be had.
bool ZVTABLE::compactExtra() {
    std::size_t live = 0;
    for (const CsvSpan& span : cells_)
        if (span.inExtra != 0)
            live += span.size;
    std::string kept;
    try {
        kept.reserve(live);
    } catch (const std::exception&) {
        return false;
    }
    for (CsvSpan& span : cells_) {
        if (span.inExtra == 0)
            continue;
        std::size_t offset = kept.size();
        kept.append(extra_, span.offset, span.size);
        span.offset = static_cast<std::uint32_t>(offset);
    }
    extra_ = std::move(kept);
    extraGarbage_ = 0;
    return true;
}

int ZVTABLE::set_stored_rows(int rows) {
    if (rows < 0 || !rowsFit(static_cast<std::size_t>(rows)))
        return refuseRow("row count", rows);
    // Rows cut off are gone: a later set or a larger count brings them back
    // empty, not with the cells they held before.
    std::size_t keep = static_cast<std::size_t>(rows) * columns_.size();
    if (keep < cells_.size()) {
        for (std::size_t at = keep; at < cells_.size(); ++at)
            if (cells_[at].inExtra != 0)
                extraGarbage_ += cells_[at].size;
        cells_.resize(keep);
    }
    rows_ = rows;
    compactIfWasteful();
    return 0;
}

int ZVTABLE::write_table_data() {
    if (!loaded_) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s was not loaded; %s is left as it was", name_.c_str(), path_.c_str());
        return 1;
    }
    if (failedSets_ > 0) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: %d sets failed since it was loaded; %s is left as it was", name_.c_str(),
               failedSets_, path_.c_str());
        return 1;
    }
    std::string out;
    try {
        if (!compose(out))
            return tooLarge();
    } catch (const std::length_error&) {
        return tooLarge(); // a std::string on the controller holds less than kCsvMaxText
    } catch (const std::exception& e) {
        return outOfMemory("write", e);
    }
    return replaceFile(out);
}

int ZVTABLE::tooLarge() {
    SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
           "Table %s: more than the %zu bytes a table file holds; %s is left as it was",
           name_.c_str(), maxTableText(), path_.c_str());
    return 1;
}

// The file's bytes. False for a table larger than a file that loads again;
// throws when memory runs out.
bool ZVTABLE::compose(std::string& out) {
    const std::size_t width = columns_.size();
    const std::size_t keep = static_cast<std::size_t>(rows_) * width;
    const std::size_t limit = maxTableText();
    // Each cell takes its bytes and a separator; quotes only add to that.
    unsigned long long least = byteOrderMark_ ? kCsvByteOrderMarkSize : 0;
    for (const std::string& name : columns_)
        least += name.size() + 1;
    for (std::size_t at = 0; at < keep && at < cells_.size(); ++at)
        least += cells_[at].size;
    least += keep;
    if (least <= limit) {
        out.reserve(
            static_cast<std::size_t>(std::min<unsigned long long>(least + least / 16 + 64, limit)));
        if (byteOrderMark_)
            out.append(kCsvByteOrderMark, kCsvByteOrderMarkSize);
        appendCsvRecord(out, columns_.data(), width);
        const CsvSpan empty{};
        for (std::size_t at = 0; at < keep; at += width) {
            for (std::size_t col = 0; col < width; ++col) {
                const CsvSpan& span = at + col < cells_.size() ? cells_[at + col] : empty;
                if (col != 0)
                    out.push_back(',');
                appendCsvField(out, (span.inExtra != 0 ? extra_ : text_).data() + span.offset,
                               span.size, width == 1);
            }
            out.push_back('\n');
            if (out.size() > limit)
                break;
        }
    }
    return least <= limit && out.size() <= limit;
}

// Replaces the table file by out; records what failed, and an owner that
// could not be kept.
int ZVTABLE::replaceFile(const std::string& out) {
    ReplaceResult result = replaceWholeFile(path_, out);
    if (result.ownerError != 0)
        SysLog(ERR_SEVERITY_PROBLEM, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: cannot keep owner %ld%s of %s: %s; its %s kept", name_.c_str(),
               static_cast<long>(result.owner),
               result.groupKept ? "" : (" and group " + std::to_string(result.group)).c_str(),
               path_.c_str(), std::strerror(result.ownerError),
               result.groupKept ? "group and mode are" : "mode is");
    const char* error = std::strerror(result.error);
    switch (result.failed) {
    case ReplaceStep::none:
        return 0;
    case ReplaceStep::create:
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: cannot create a temporary file beside %s: %s", name_.c_str(),
               path_.c_str(), error);
        return 1;
    case ReplaceStep::syncDirectory:
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: %s was replaced, but syncing its directory failed: %s; the new table "
               "may not survive a power cut",
               name_.c_str(), path_.c_str(), error);
        return 1;
    default:
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: %s of the new %s failed: %s; the table is left as it was", name_.c_str(),
               replaceStepName(result.failed), path_.c_str(), error);
        return 1;
    }
}

// ---------------------------------------------------------------- ZV_MASTER_TABLE

ZV_MASTER_TABLE::ZV_MASTER_TABLE(StringList& tableNames, char /*flag*/) : tableNames_(tableNames) {}

ZV_MASTER_TABLE::~ZV_MASTER_TABLE() = default;

int ZV_MASTER_TABLE::init_data_table(char* name, task_id, access_level, long, long,
                                     pthread_mutex_t*) {
    tables_.clear();
    try {
        if (name != nullptr && *name != '\0') {
            directory_ = name;
        } else {
            const char* env = std::getenv(kDirectoryVariable);
            directory_ = (env != nullptr && *env != '\0') ? env : kDefaultDirectory;
        }
    } catch (const std::exception& e) {
        directory_.clear();
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Configuration database: not enough memory to open it (%s)", e.what());
        return 1;
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
    try {
        auto found = tables_.find(tableName);
        if (found != tables_.end())
            return found->second.get();
        std::string path = directory_ + "/" + tableName + kTableSuffix;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return nullptr;
        auto table = std::make_unique<ZVTABLE>(tableName, path);
        ZVTABLE* handle = table.get();
        tables_.emplace(tableName, std::move(table));
        return handle;
    } catch (const std::exception& e) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kStoreFile, __LINE__,
               "Table %s: not enough memory to open it (%s)", tableName, e.what());
        return nullptr;
    }
}
