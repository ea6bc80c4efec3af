// Tests of the file-backed table store: CSV round trips and malformed files,
// cell access, the database directory, and the atomic replacement of a table
// file when the system calls behind it fail.
#include "debug.h"
#include "tableStoreOs.h"
#include "testSupport.h"
#include "zvTable.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

// What the directory holds: the table and no temporary file.
std::string entriesOf(const std::string& path) {
    return testing_support::runCommand("ls -A '" + path + "'").out;
}

class TableStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savedOs_ = tableStoreOs();
        Syslogtodebug = 1;
    }
    void TearDown() override {
        tableStoreOs() = savedOs_;
        Syslogtodebug = 0;
    }

    std::string path() const { return dir_.file("T.csv"); }

    // A fresh master table over the directory, as the next process would see
    // it; loads T.csv, first replaced by text when one is given.
    ZVTABLE* open(const char* text = nullptr, int loadResult = 0) {
        if (text != nullptr)
            writeFile(path(), text);
        master_ = std::make_unique<ZV_MASTER_TABLE>(names_, 0);
        std::string name = dir_.path();
        EXPECT_EQ(0, master_->init_data_table(&name[0], 49, 1, 400, 400, nullptr));
        ZVTABLE* table = master_->get_class_pointer("T");
        EXPECT_NE(nullptr, table);
        if (table != nullptr) {
            EXPECT_EQ(loadResult, table->read_table_data() != 0 ? 1 : 0);
        }
        return table;
    }

    TempDir dir_;
    StringList names_;
    std::unique_ptr<ZV_MASTER_TABLE> master_;
    TableStoreOs savedOs_{};
};

// Other tools read these files: exact bytes, quoted only where needed, LF.
TEST_F(TableStoreTest, AwkwardTextsRoundTripWithExactBytes) {
    struct Case {
        const char* header;
        StringList fields;
        std::string record;
    };
    const Case cases[] = {
        {"A,B\n", {"a b", "c"}, "a b,c\n"},
        {"A,B\n", {"a,b", "say \"hi\""}, "\"a,b\",\"say \"\"hi\"\"\"\n"},
        {"A,B\n", {"x\ny", "x\ry"}, "\"x\ny\",\"x\ry\"\n"},
        {"A,B\n", {"x\r\ny", ""}, "\"x\r\ny\",\n"},
        {"A,B\n", {"", ""}, ",\n"},
        {"A\n", {""}, "\"\"\n"},
        {"A\n", {"\""}, "\"\"\"\"\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        ZVTABLE* table = open(c.header);
        ASSERT_NE(nullptr, table);
        const char* columns[] = {"A", "B"};
        for (std::size_t i = 0; i < c.fields.size(); ++i)
            ASSERT_EQ(0, table->set(columns[i], 0, c.fields[i]));
        ASSERT_EQ(0, table->write_table_data());
        EXPECT_EQ(c.header + c.record, readFile(path()));

        table = open();
        ASSERT_NE(nullptr, table);
        StringList cells;
        for (std::size_t i = 0; i < c.fields.size(); ++i)
            EXPECT_EQ(0, table->get(columns[i], cells));
        EXPECT_EQ(c.fields, cells);
    }
}

TEST_F(TableStoreTest, MalformedFileNamesFileAndLineAndIsNeverWritten) {
    struct Case {
        const char* text;
        int line;
    };
    const Case cases[] = {
        {"", 1},                          // no header
        {"A,B\n1,2\n\"open,3\n4,5\n", 3}, // unterminated quote
        {"A,B\n1,2\n3\n", 3},             // short record
        {"A,B\n\"x\ny\",1\n1,2,3\n", 4},  // long record after a two-line field
        {"A,B\r\n1,x\"y\r\n", 2},         // stray quote
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        testing::internal::CaptureStderr();
        ZVTABLE* table = open(c.text, 1);
        std::string log = testing::internal::GetCapturedStderr();
        ASSERT_NE(nullptr, table);
        EXPECT_NE(std::string::npos, log.find(path())) << log;
        EXPECT_TRUE(std::regex_search(log, std::regex("line " + std::to_string(c.line) + "\\b")))
            << log;
        EXPECT_EQ(0, table->get_stored_rows());

        table->set("A", 0, "changed");
        testing::internal::CaptureStderr();
        EXPECT_NE(0, table->write_table_data());
        log = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, log.find(path())) << log;
        EXPECT_EQ(c.text, readFile(path()));
        EXPECT_EQ("T.csv\n", entriesOf(dir_.path()));
    }
}

TEST_F(TableStoreTest, LongGetTakesTheWholeCellOrLeavesTheValue) {
    const long kUnset = 12345; // expected where get must fail and leave the value
    const std::pair<std::string, long> cases[] = {
        {"42", 42},     {"-7", -7},        {"+5", 5},
        {"", kUnset},   {"-", kUnset},     {"1.5", kUnset},
        {" 1", kUnset}, {"12abc", kUnset}, {"99999999999999999999", kUnset},
    };
    std::string text = "N\n";
    for (const auto& c : cases)
        text += "\"" + c.first + "\"\n";
    ZVTABLE* table = open(text.c_str());
    ASSERT_NE(nullptr, table);
    for (int row = 0; row <= static_cast<int>(std::size(cases)); ++row) {
        long expected = row < static_cast<int>(std::size(cases)) ? cases[row].second : kUnset;
        long value = kUnset;
        EXPECT_EQ(expected != kUnset, table->get("N", row, value) == 0) << row;
        EXPECT_EQ(expected, value) << row;
    }
    long value = kUnset;
    EXPECT_NE(0, table->get("Missing", 0, value));
    EXPECT_EQ(kUnset, value);
}

TEST_F(TableStoreTest, SetAndStoredRowCountDecideWhatIsWritten) {
    // Sets a cell; a null column sets the stored row count instead. Column C
    // and negative counts are refused and change nothing.
    struct Step {
        const char* column;
        int row;
        const char* text;
    };
    struct Case {
        std::vector<Step> steps;
        const char* file;
    };
    const Case cases[] = {
        {{{"B", 4, "x"}}, "A,B\n1,a\n2,b\n3,c\n,\n,x\n"},
        {{{"C", 0, "x"}, {nullptr, -1, ""}}, "A,B\n1,a\n2,b\n3,c\n"},
        {{{nullptr, 0, ""}}, "A,B\n"},
        {{{"A", 0, "x"}, {nullptr, 1, ""}}, "A,B\nx,a\n"},
        // Cut rows hold nothing: they do not come back with their old cells.
        {{{nullptr, 2, ""}, {"A", 3, "new"}}, "A,B\n1,a\n2,b\n,\nnew,\n"},
        {{{nullptr, 1, ""}, {nullptr, 3, ""}}, "A,B\n1,a\n,\n,\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ZVTABLE* table = open("A,B\n1,a\n2,b\n3,c\n");
        ASSERT_NE(nullptr, table);
        for (const Step& s : c.steps) {
            int result = s.column != nullptr ? table->set(s.column, s.row, s.text)
                                             : table->set_stored_rows(s.row);
            EXPECT_EQ(s.row < 0 || (s.column != nullptr && *s.column == 'C'), result != 0);
        }
        ASSERT_EQ(0, table->write_table_data());
        EXPECT_EQ(c.file, readFile(path()));
    }
}

TEST_F(TableStoreTest, DatabaseDirectoryIsTheNameElseTheVariable) {
    const char* saved = std::getenv("ZVDB_DIR");
    const std::string savedValue = saved != nullptr ? saved : "";
    TempDir other;
    writeFile(path(), "A\n1\n");
    // 1: T found; 0: not found; -1: init_data_table failed.
    auto found = [this](std::string name, const std::string& variable) {
        setenv("ZVDB_DIR", variable.c_str(), 1);
        ZV_MASTER_TABLE master(names_, 0);
        testing::internal::CaptureStderr();
        int result = master.init_data_table(&name[0], 49, 1, 400, 400, nullptr);
        testing::internal::GetCapturedStderr();
        return result != 0 ? -1 : master.get_class_pointer("T") != nullptr ? 1 : 0;
    };
    EXPECT_EQ(1, found(dir_.path(), other.path()));
    EXPECT_EQ(1, found("", dir_.path()));
    EXPECT_EQ(0, found("", other.path()));
    EXPECT_EQ(-1, found(dir_.file("missing"), dir_.path()));
    saved != nullptr ? setenv("ZVDB_DIR", savedValue.c_str(), 1) : unsetenv("ZVDB_DIR");
}

TEST_F(TableStoreTest, ClassPointerServesUnlistedTablesButNoPaths) {
    ASSERT_EQ(0, mkdir(dir_.file("sub").c_str(), 0755));
    writeFile(dir_.file("sub/INNER.csv"), "A\n1\n");
    writeFile(dir_.file("...csv"), "A\n1\n"); // what the name ".." would reach
    writeFile(dir_.file("EXTRA.csv"), "A\nextra\n");
    names_ = {"T", "LISTED_MISSING"};
    ASSERT_NE(nullptr, open("A\n1\n"));
    const std::string up = "../" + dir_.path().substr(dir_.path().rfind('/') + 1) + "/T";
    for (const std::string& refused :
         {up, std::string(".."), std::string("sub/INNER"), std::string("LISTED_MISSING")})
        EXPECT_EQ(nullptr, master_->get_class_pointer(refused.c_str())) << refused;
    ZVTABLE* extra = master_->get_class_pointer("EXTRA");
    ASSERT_NE(nullptr, extra);
    EXPECT_EQ(extra, master_->get_class_pointer("EXTRA")) << "one handle per table";
    std::string cell;
    ASSERT_EQ(0, extra->read_table_data());
    EXPECT_EQ(0, extra->get("A", 0, cell));
    EXPECT_EQ("extra", cell);
}

// The system calls behind a table write, failing as the current case says.
struct Fault {
    const char* label;
    const char* call;  // the call that fails
    int err;           // its errno; 0: a write that takes nothing (disk full)
    int at;            // which of its calls fails; -1: none
    std::size_t limit; // bytes a write takes at most
    bool fails;
};
Fault fault;
int calls = 0;

bool failing(const char* call) {
    return std::strcmp(call, fault.call) == 0 && calls++ == fault.at;
}
int failed() {
    errno = fault.err;
    return fault.err != 0 ? -1 : 0;
}

TEST_F(TableStoreTest, FailedStepLeavesTheFileAsItWasAndRetriesFinish) {
    tableStoreOs() = TableStoreOs{
        [](char* t) { return failing("mkstemp") ? failed() : mkstemp(t); },
        [](int fd, const void* data, size_t size) -> ssize_t {
            return failing("write") ? failed() : write(fd, data, std::min(size, fault.limit));
        },
        [](int fd) { return failing("fsync") ? failed() : fsync(fd); },
        [](const char* from, const char* to) {
            return failing("rename") ? failed() : rename(from, to);
        }};
    const std::size_t kAll = 1 << 20;
    const Fault cases[] = {
        {"mkstemp", "mkstemp", EACCES, 0, kAll, true},
        {"write", "write", EIO, 0, kAll, true},
        {"short writes, then disk full", "write", 0, 2, 5, true},
        {"fsync", "fsync", EIO, 0, kAll, true},
        {"rename", "rename", EXDEV, 0, kAll, true},
        {"short writes", "write", 0, -1, 3, false},
        {"interrupted write", "write", EINTR, 0, kAll, false},
    };
    // Read with CRLF; the private mode of mkstemp must not replace the table's.
    const char* const original = "A,B\r\nold,\"keep, this\"\r\n";
    mode_t oldMask = umask(077);
    const std::string replaced = "A,B\nnew,\"keep, this\"\n,grown\n";
    for (const Fault& c : cases) {
        SCOPED_TRACE(c.label);
        writeFile(path(), original);
        ASSERT_EQ(0, chmod(path().c_str(), 0604));
        ZVTABLE* table = open();
        ASSERT_NE(nullptr, table);
        ASSERT_EQ(0, table->set("A", 0, "new"));
        ASSERT_EQ(0, table->set("B", 1, "grown"));
        fault = c;
        calls = 0;
        testing::internal::CaptureStderr();
        int result = table->write_table_data();
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.fails, result != 0);
        EXPECT_EQ(c.fails, log.find("SysLog zvTable@") != std::string::npos) << log;
        EXPECT_EQ(c.fails, log.find(path()) != std::string::npos) << log;
        EXPECT_EQ(c.fails ? original : replaced, readFile(path()));
        EXPECT_EQ("T.csv\n", entriesOf(dir_.path()));

        fault.call = "";
        ASSERT_EQ(0, table->write_table_data());
        EXPECT_EQ(replaced, readFile(path()));
        struct stat st {};
        ASSERT_EQ(0, stat(path().c_str(), &st));
        EXPECT_EQ(0604u, st.st_mode & 07777);
    }
    umask(oldMask);
}

} // namespace
