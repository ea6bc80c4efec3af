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
#include <memory>
#include <string>
#include <vector>

namespace {

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

class TableStoreTest : public ::testing::Test {
  protected:
    TableStoreTest() { Syslogtodebug = 1; }
    void TearDown() override {
        tableStoreOs() = savedOs_;
        Syslogtodebug = 0;
    }

    std::string path() const { return dir_.file("T.csv"); }
    // What the directory holds: the table and no temporary file.
    std::string entries() const { return testing_support::runCommand("ls -A " + dir_.path()).out; }

    // A fresh master table over the directory, as the next process would see
    // it; loads T.csv, first replaced by text when one is given.
    ZVTABLE* open(const char* text = nullptr, int loadResult = 0) {
        if (text != nullptr)
            writeFile(path(), text);
        master_ = std::make_unique<ZV_MASTER_TABLE>(names_, 0);
        std::string name = dir_.path();
        EXPECT_EQ(0, master_->init_data_table(&name[0], 49, 1, 400, 400, nullptr));
        ZVTABLE* table = master_->get_class_pointer("T");
        if (table != nullptr) {
            EXPECT_EQ(loadResult, table->read_table_data() != 0 ? 1 : 0);
        }
        return table;
    }

    TempDir dir_;
    StringList names_;
    std::unique_ptr<ZV_MASTER_TABLE> master_;
    TableStoreOs savedOs_ = tableStoreOs();
};

// Other tools read these files: exact bytes, quoted only where needed, LF.
TEST_F(TableStoreTest, AwkwardTextsRoundTripWithExactBytes) {
    const std::pair<StringList, std::string> cases[] = {
        {{"a,b", "say \"hi\""}, "A,B\n\"a,b\",\"say \"\"hi\"\"\"\n"},
        {{"x\ry", "x\r\ny"}, "A,B\n\"x\ry\",\"x\r\ny\"\n"},
        {{"", ""}, "A,B\n,\n"},
        {{""}, "A\n\"\"\n"},
    };
    const char* columns[] = {"A", "B"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        ZVTABLE* table = open(c.first.size() == 1 ? "A\n" : "A,B\n");
        ASSERT_NE(nullptr, table);
        for (std::size_t i = 0; i < c.first.size(); ++i)
            ASSERT_EQ(0, table->set(columns[i], 0, c.first[i]));
        ASSERT_EQ(0, table->write_table_data());
        EXPECT_EQ(c.second, readFile(path()));

        table = open();
        ASSERT_NE(nullptr, table);
        StringList cells;
        for (std::size_t i = 0; i < c.first.size(); ++i)
            EXPECT_EQ(0, table->get(columns[i], cells));
        EXPECT_EQ(c.first, cells);
    }
}

TEST_F(TableStoreTest, MalformedFileNamesFileAndLineAndIsNeverWritten) {
    const std::pair<const char*, int> cases[] = {
        {"", 1},                          // no header
        {"A,B\n1,2\n\"open,3\n4,5\n", 3}, // unterminated quote
        {"A,B\n\"x\ny\",1\n1,2,3\n", 4},  // long record after a two-line field
        {"A,B\r\n1,x\"y\r\n", 2},         // stray quote
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        testing::internal::CaptureStderr();
        ZVTABLE* table = open(c.first, 1);
        std::string log = testing::internal::GetCapturedStderr();
        ASSERT_NE(nullptr, table);
        EXPECT_EQ(
            1, testing_support::countOf(log, path() + ", line " + std::to_string(c.second) + ":"))
            << log;
        EXPECT_EQ(0, table->get_stored_rows());

        table->set("A", 0, "changed");
        testing::internal::CaptureStderr();
        EXPECT_NE(0, table->write_table_data());
        EXPECT_EQ(1, testing_support::countOf(testing::internal::GetCapturedStderr(), path()));
        EXPECT_EQ(c.first, readFile(path()));
        EXPECT_EQ("T.csv\n", entries());
    }
}

TEST_F(TableStoreTest, LongGetTakesTheWholeCellOrLeavesTheValue) {
    const long kUnset = 12345; // expected where get must fail and leave the value
    const std::pair<std::string, long> cases[] = {
        {"42", 42},    {"-7", -7},  {"+5", 5},         {"", kUnset},
        {"-", kUnset}, {" 1\t", 1}, {"12abc", kUnset}, {"99999999999999999999", kUnset},
    };
    std::string text = "N\n";
    for (const auto& c : cases)
        text += "\"" + c.first + "\"\n";
    ZVTABLE* table = open(text.c_str());
    ASSERT_NE(nullptr, table);
    const int rows = static_cast<int>(std::size(cases));
    for (int row = 0; row <= rows; ++row) {
        long expected = row < rows ? cases[row].second : kUnset;
        long value = kUnset;
        EXPECT_EQ(expected != kUnset, table->get("N", row, value) == 0) << row;
        EXPECT_EQ(expected, value) << row;
    }
    long value = kUnset;
    EXPECT_NE(0, table->get("Missing", 0, value));
    EXPECT_EQ(kUnset, value);
}

TEST_F(TableStoreTest, SetAndStoredRowCountDecideWhatIsWritten) {
    // A step sets a cell, or with a null column the stored row count. Negative
    // counts are refused and change nothing.
    const std::pair<std::vector<std::pair<const char*, int>>, const char*> cases[] = {
        {{{"B", 4}}, "A,B\n1,a\n2,b\n3,c\n,\n,x\n"},
        {{{nullptr, -1}}, "A,B\n1,a\n2,b\n3,c\n"},
        {{{nullptr, 0}}, "A,B\n"},
        // Cut rows hold nothing: they do not come back with their old cells.
        {{{nullptr, 2}, {"A", 3}}, "A,B\n1,a\n2,b\n,\nx,\n"},
        {{{nullptr, 1}, {nullptr, 3}}, "A,B\n1,a\n,\n,\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        ZVTABLE* table = open("A,B\n1,a\n2,b\n3,c\n");
        ASSERT_NE(nullptr, table);
        for (const auto& [column, row] : c.first) {
            int result =
                column != nullptr ? table->set(column, row, "x") : table->set_stored_rows(row);
            EXPECT_EQ(row < 0, result != 0);
        }
        ASSERT_EQ(0, table->write_table_data());
        EXPECT_EQ(c.second, readFile(path()));
    }
}

TEST_F(TableStoreTest, DatabaseDirectoryIsTheNameElseTheVariable) {
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
    unsetenv("ZVDB_DIR");
}

TEST_F(TableStoreTest, ClassPointerServesUnlistedTablesButNoPaths) {
    writeFile(dir_.file("...csv"), "A\n1\n"); // what the name ".." would reach
    writeFile(dir_.file("EXTRA.csv"), "A\nextra\n");
    names_ = {"T", "LISTED_MISSING"};
    ASSERT_NE(nullptr, open("A\n1\n"));
    const std::string up = "../" + dir_.path().substr(dir_.path().rfind('/') + 1) + "/T";
    for (const std::string& refused : {up, std::string(".."), std::string("LISTED_MISSING")})
        EXPECT_EQ(nullptr, master_->get_class_pointer(refused.c_str())) << refused;
    ZVTABLE* extra = master_->get_class_pointer("EXTRA");
    ASSERT_NE(nullptr, extra);
    EXPECT_EQ(extra, master_->get_class_pointer("EXTRA")) << "one handle per table";
    EXPECT_EQ(0, extra->read_table_data());
}

// The system calls behind a table write, failing as the current case says.
struct Fault {
    const char* call;  // the call that fails
    int err;           // its errno; 0: a write that takes nothing (disk full)
    int at;            // which of its calls fails; -1: none
    std::size_t limit; // bytes a write takes at most
    bool fails;
};
Fault fault;
int calls = 0;

// The failing call's result with errno set, or what real() gives.
template <typename Real> auto unlessFailing(const char* call, Real real) -> decltype(real()) {
    if (std::strcmp(call, fault.call) != 0 || calls++ != fault.at)
        return real();
    errno = fault.err;
    return fault.err != 0 ? -1 : 0;
}

TEST_F(TableStoreTest, FailedStepLeavesTheFileAsItWasAndRetriesFinish) {
    tableStoreOs() =
        TableStoreOs{[](char* t) { return unlessFailing("mkstemp", [&] { return mkstemp(t); }); },
                     [](int fd, const void* data, size_t size) {
                         return unlessFailing(
                             "write", [&] { return write(fd, data, std::min(size, fault.limit)); });
                     },
                     [](int fd) { return unlessFailing("fsync", [&] { return fsync(fd); }); },
                     [](const char* from, const char* to) {
                         return unlessFailing("rename", [&] { return rename(from, to); });
                     }};
    const std::size_t kAll = 1 << 20;
    const Fault cases[] = {
        {"mkstemp", EACCES, 0, kAll, true}, {"write", EIO, 0, kAll, true},
        {"write", 0, 2, 5, true}, // short writes, then disk full
        {"fsync", EIO, 0, kAll, true},      {"rename", EXDEV, 0, kAll, true},
        {"write", 0, -1, 3, false},         {"write", EINTR, 0, kAll, false},
    };
    // Read with CRLF; the private mode of mkstemp must not replace the table's.
    const char* const original = "A,B\r\nold,\"keep, this\"\r\n";
    const std::string replaced = "A,B\nnew,\"keep, this\"\n,grown\n";
    mode_t oldMask = umask(077);
    for (const Fault& c : cases) {
        SCOPED_TRACE(&c - cases);
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
        EXPECT_EQ(c.fails, log.find(path()) != std::string::npos) << log;
        EXPECT_EQ(c.fails ? original : replaced, readFile(path()));
        EXPECT_EQ("T.csv\n", entries());

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
