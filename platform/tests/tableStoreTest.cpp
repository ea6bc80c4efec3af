// Tests of the file-backed table store: CSV round trips and malformed files,
// cell access, the database directory, and the atomic replacement of a table
// file when the system calls behind it fail.
#include "debug.h"
#include "tableStoreOs.h"
#include "testSupport.h"
#include "zvTable.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

using Rows = std::vector<std::vector<std::string>>;

// A master table opened over a database directory.
class Database {
  public:
    explicit Database(const std::string& directory, StringList names = {})
        : names_(std::move(names)), master_(names_, 0) {
        std::string writable = directory;
        initResult_ = master_.init_data_table(&writable[0], 49, 1, 400, 400, nullptr);
    }
    ZVTABLE* table(const char* name) { return master_.get_class_pointer(name); }
    int initResult() const { return initResult_; }

  private:
    StringList names_;
    ZV_MASTER_TABLE master_;
    int initResult_ = -1;
};

std::vector<std::string> directoryEntries(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Every stored row of the given columns, read cell by cell.
Rows cellsOf(ZVTABLE* table, const std::vector<std::string>& columns) {
    Rows rows;
    for (int row = 0; row < table->get_stored_rows(); ++row) {
        std::vector<std::string> cells;
        for (const std::string& column : columns) {
            std::string cell = "<unread>";
            EXPECT_EQ(0, table->get(column, row, cell)) << column << " row " << row;
            cells.push_back(cell);
        }
        rows.push_back(cells);
    }
    return rows;
}

// True when text names "line N" with nothing but a non-digit after N.
bool namesLine(const std::string& text, std::size_t line) {
    std::string needle = "line " + std::to_string(line);
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        std::size_t end = at + needle.size();
        if (end == text.size() || text[end] < '0' || text[end] > '9')
            return true;
    }
    return false;
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

    std::string tablePath() const { return dir_.file("T.csv"); }

    // Writes T.csv, opens the database and loads T.
    ZVTABLE* load(const std::string& text) {
        writeFile(tablePath(), text);
        db_ = std::make_unique<Database>(dir_.path());
        ZVTABLE* table = db_->table("T");
        EXPECT_NE(nullptr, table);
        if (table != nullptr) {
            EXPECT_EQ(0, table->read_table_data());
        }
        return table;
    }

    // A fresh database over the same directory, as the next process would see it.
    ZVTABLE* reload() {
        db_ = std::make_unique<Database>(dir_.path());
        ZVTABLE* table = db_->table("T");
        EXPECT_NE(nullptr, table);
        if (table != nullptr) {
            EXPECT_EQ(0, table->read_table_data());
        }
        return table;
    }

    TempDir dir_;
    std::unique_ptr<Database> db_;
    TableStoreOs savedOs_{};
};

// ------------------------------------------------------------ CSV round trip

const std::vector<std::string> kAwkwardTexts = {
    "Flame detector",
    "a,b",
    "say \"hi\"",
    "\"",
    "\"\"",
    "x\ry",
    "x\ny",
    "x\r\ny",
    "",
    "  padded  ",
    "end,",
    ",start",
    "\r",
    "\n",
    "Temp \xc2\xb0"
    "C",
    "tab\there",
    "a\"\"",
    ",\",\n\r",
    "\"q\"x",
    "9999999999999",
    "line\n\nbreak",
};

TEST_F(TableStoreTest, AwkwardTextsSurviveWriteAndReload) {
    struct Layout {
        const char* label;
        std::string header;
        std::vector<std::string> columns;
    };
    const Layout layouts[] = {
        {"two columns", "Name,Tag\n", {"Name", "Tag"}},
        {"one column", "Name\n", {"Name"}},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.label);
        ZVTABLE* table = load(layout.header);
        ASSERT_NE(nullptr, table);
        Rows expected;
        for (std::size_t i = 0; i < kAwkwardTexts.size(); ++i) {
            int row = static_cast<int>(i);
            std::vector<std::string> cells;
            for (std::size_t c = 0; c < layout.columns.size(); ++c) {
                // The second column holds the texts in reverse order, so that
                // every text meets both a plain and an awkward neighbour.
                const std::string& text = kAwkwardTexts[c == 0 ? i : kAwkwardTexts.size() - 1 - i];
                ASSERT_EQ(0, table->set(layout.columns[c], row, text));
                cells.push_back(text);
            }
            expected.push_back(cells);
        }
        ASSERT_EQ(0, table->write_table_data());

        ZVTABLE* again = reload();
        ASSERT_NE(nullptr, again);
        ASSERT_EQ(static_cast<int>(kAwkwardTexts.size()), again->get_stored_rows());
        EXPECT_EQ(expected, cellsOf(again, layout.columns));
        EXPECT_EQ(std::vector<std::string>{"T.csv"}, directoryEntries(dir_.path()));
    }
}

// Other tools read these files: plain fields stay unquoted, lines end in LF.
TEST_F(TableStoreTest, WrittenRecordsQuoteOnlyWhatNeedsIt) {
    struct Case {
        const char* label;
        std::string header;
        std::vector<std::string> fields;
        std::string record;
    };
    const Case cases[] = {
        {"plain", "A,B\n", {"a", "b"}, "a,b\n"},
        {"comma", "A,B\n", {"a,b", "c"}, "\"a,b\",c\n"},
        {"quotes doubled", "A,B\n", {"say \"hi\"", "x"}, "\"say \"\"hi\"\"\",x\n"},
        {"LF and CR", "A,B\n", {"x\ny", "x\ry"}, "\"x\ny\",\"x\ry\"\n"},
        {"empty fields of a wide row", "A,B\n", {"", ""}, ",\n"},
        {"blanks kept bare", "A,B\n", {" a ", "b "}, " a ,b \n"},
        {"single empty field", "A\n", {""}, "\"\"\n"},
        {"single plain field", "A\n", {"a"}, "a\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ZVTABLE* table = load(c.header);
        ASSERT_NE(nullptr, table);
        const char* columns[] = {"A", "B"};
        for (std::size_t i = 0; i < c.fields.size(); ++i)
            ASSERT_EQ(0, table->set(columns[i], 0, c.fields[i]));
        ASSERT_EQ(0, table->write_table_data());
        EXPECT_EQ(c.header + c.record, readFile(tablePath()));
    }
}

TEST_F(TableStoreTest, ReadsLfAndCrlfFiles) {
    struct Case {
        const char* label;
        std::string text;
        std::vector<std::string> columns;
        Rows rows;
    };
    const Case cases[] = {
        {"LF", "A,B\n1,2\n3,4\n", {"A", "B"}, {{"1", "2"}, {"3", "4"}}},
        {"CRLF", "A,B\r\n1,2\r\n3,4\r\n", {"A", "B"}, {{"1", "2"}, {"3", "4"}}},
        {"no final line end", "A,B\n1,2\n3,4", {"A", "B"}, {{"1", "2"}, {"3", "4"}}},
        {"CRLF inside quotes kept", "A,B\r\n\"x\r\ny\",2\r\n", {"A", "B"}, {{"x\r\ny", "2"}}},
        {"empty fields", "A,B\n,\n\"\",\"\"\n1,\n", {"A", "B"}, {{"", ""}, {"", ""}, {"1", ""}}},
        {"doubled quotes", "A,B\n\"a\"\"b\",\"\"\"\"\n", {"A", "B"}, {{"a\"b", "\""}}},
        {"header only", "A,B\n", {"A", "B"}, {}},
        {"one-column empty rows", "A\r\n\"\"\r\nx\r\n\"\"", {"A"}, {{""}, {"x"}, {""}}},
        {"quoted header", "\"A,1\",B\n1,2\n", {"A,1", "B"}, {{"1", "2"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ZVTABLE* table = load(c.text);
        ASSERT_NE(nullptr, table);
        EXPECT_EQ(static_cast<int>(c.rows.size()), table->get_stored_rows());
        EXPECT_EQ(c.rows, cellsOf(table, c.columns));
    }
}

// ------------------------------------------------------------ malformed files

TEST_F(TableStoreTest, MalformedFileFailsToLoadAndIsNeverWritten) {
    struct Case {
        const char* label;
        std::string text;
        std::size_t line;
    };
    const Case cases[] = {
        {"empty file", "", 1},
        {"unterminated quote", "A,B\n1,2\n\"open,3\n4,5\n", 3},
        {"short record", "A,B\n1,2\n3\n", 3},
        {"long record", "A,B\n1,2,3\n", 2},
        {"line counted past a multi-line field", "A,B\n\"x\ny\",1\n1,2,3\n", 4},
        {"CRLF lines counted", "A,B\r\n1,2\r\n3\r\n", 3},
        {"blank line among rows", "A,B\n1,2\n\n3,4\n", 3},
        {"quote inside a bare field", "A,B\n1,x\"y\n", 2},
        {"text after a closing quote", "A,B\n\"x\"y,1\n", 2},
        {"unterminated quote in the header", "\"A,B\n1,2\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        writeFile(tablePath(), c.text);
        Database db(dir_.path());
        ZVTABLE* table = db.table("T");
        ASSERT_NE(nullptr, table);

        testing::internal::CaptureStderr();
        int loaded = table->read_table_data();
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(0, loaded);
        EXPECT_NE(std::string::npos, log.find(tablePath())) << log;
        EXPECT_TRUE(namesLine(log, c.line)) << log;
        EXPECT_EQ(0, table->get_stored_rows());

        // Nothing that follows may reach the file.
        table->set("A", 0, "changed");
        table->set_stored_rows(3);
        testing::internal::CaptureStderr();
        int written = table->write_table_data();
        log = testing::internal::GetCapturedStderr();
        EXPECT_NE(0, written);
        EXPECT_NE(std::string::npos, log.find(tablePath())) << log;
        EXPECT_EQ(c.text, readFile(tablePath()));
        EXPECT_EQ(std::vector<std::string>{"T.csv"}, directoryEntries(dir_.path()));
    }
}

// Only a table whose last load succeeded is written: never loaded, badly
// loaded, then loaded from a repaired file.
TEST_F(TableStoreTest, WriteNeedsAGoodLastLoad) {
    writeFile(tablePath(), "A,B\n1\n");
    Database db(dir_.path());
    ZVTABLE* table = db.table("T");
    ASSERT_NE(nullptr, table);
    testing::internal::CaptureStderr();
    EXPECT_NE(0, table->write_table_data());
    EXPECT_NE(0, table->read_table_data());
    EXPECT_NE(0, table->write_table_data());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(3, testing_support::countOf(log, tablePath())) << log;
    EXPECT_EQ("A,B\n1\n", readFile(tablePath()));

    writeFile(tablePath(), "A,B\n1,2\n");
    ASSERT_EQ(0, table->read_table_data());
    ASSERT_EQ(0, table->set("B", 0, "3"));
    EXPECT_EQ(0, table->write_table_data());
    EXPECT_EQ("A,B\n1,3\n", readFile(tablePath()));
}

TEST_F(TableStoreTest, FileRemovedAfterLookupFailsToLoad) {
    writeFile(tablePath(), "A\n1\n");
    Database db(dir_.path());
    ZVTABLE* table = db.table("T");
    ASSERT_NE(nullptr, table);
    ASSERT_EQ(0, unlink(tablePath().c_str()));
    testing::internal::CaptureStderr();
    EXPECT_NE(0, table->read_table_data());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find(tablePath())) << log;
    EXPECT_EQ(0, table->get_stored_rows());
    testing::internal::CaptureStderr();
    EXPECT_NE(0, table->write_table_data());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(directoryEntries(dir_.path()).empty());
}

// ------------------------------------------------------------ cell access

TEST_F(TableStoreTest, LongGetTakesTheWholeCellOrLeavesTheValue) {
    struct Case {
        std::string cell;
        bool ok;
        long value;
    };
    const Case cases[] = {
        {"42", true, 42},
        {"-7", true, -7},
        {"+5", true, 5},
        {"0", true, 0},
        {"-0", true, 0},
        {"007", true, 7},
        {"2147483647", true, 2147483647L},
        {"-2147483648", true, -2147483647L - 1},
        {"", false, 0},
        {"-", false, 0},
        {"+", false, 0},
        {" 1", false, 0},
        {"1 ", false, 0},
        {"12abc", false, 0},
        {"1.5", false, 0},
        {"0x10", false, 0},
        {"--1", false, 0},
        {"1-", false, 0},
        {"99999999999999999999", false, 0},
        {"-99999999999999999999", false, 0},
    };
    std::string text = "N,Other\n";
    for (const Case& c : cases)
        text += "\"" + c.cell + "\",x\n";
    ZVTABLE* table = load(text);
    ASSERT_NE(nullptr, table);
    ASSERT_EQ(static_cast<int>(sizeof cases / sizeof cases[0]), table->get_stored_rows());

    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("cell \"" + c.cell + "\"");
        long value = 12345;
        int result = table->get("N", row++, value);
        if (c.ok) {
            EXPECT_EQ(0, result);
            EXPECT_EQ(c.value, value);
        } else {
            EXPECT_NE(0, result);
            EXPECT_EQ(12345, value);
        }
    }
}

TEST_F(TableStoreTest, GetOfMissingCellFailsAndLeavesTheValue) {
    ZVTABLE* table = load("N,S\n1,a\n2,b\n");
    ASSERT_NE(nullptr, table);
    struct Case {
        const char* label;
        std::string column;
        int row;
    };
    const Case cases[] = {
        {"missing column", "Missing", 0}, {"column name differs in case", "n", 0},
        {"negative row", "N", -1},        {"row at the count", "N", 2},
        {"row far beyond", "N", 1000},    {"lowest row", "N", INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        long number = 12345;
        EXPECT_NE(0, table->get(c.column, c.row, number));
        EXPECT_EQ(12345, number);
        std::string text = "kept";
        EXPECT_NE(0, table->get(c.column == "N" ? "S" : c.column, c.row, text));
        EXPECT_EQ("kept", text);
    }
}

TEST_F(TableStoreTest, WholeColumnGetAppendsEveryStoredRow) {
    struct Case {
        const char* label;
        int storedRows; // -1: as loaded
        std::string column;
        int result;
        StringList after; // the list that started as {"kept"}
    };
    const Case cases[] = {
        {"as loaded", -1, "A", 0, {"kept", "x", "", "y,z"}},
        {"second column", -1, "B", 0, {"kept", "1", "2", "3"}},
        {"missing column", -1, "C", 1, {"kept"}},
        {"count cut", 1, "A", 0, {"kept", "x"}},
        {"count grown", 5, "B", 0, {"kept", "1", "2", "3", "", ""}},
        {"no rows", 0, "A", 0, {"kept"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ZVTABLE* table = load("A,B\nx,1\n,2\n\"y,z\",3\n");
        ASSERT_NE(nullptr, table);
        if (c.storedRows >= 0) {
            ASSERT_EQ(0, table->set_stored_rows(c.storedRows));
        }
        StringList values = {"kept"};
        EXPECT_EQ(c.result != 0, table->get(c.column, values) != 0);
        EXPECT_EQ(c.after, values);
    }
}

TEST_F(TableStoreTest, SetGrowsTheTableWithEmptyCells) {
    ZVTABLE* table = load("A,B\n1,2\n");
    ASSERT_NE(nullptr, table);
    ASSERT_EQ(0, table->set("B", 3, "x"));
    EXPECT_EQ(4, table->get_stored_rows());
    EXPECT_EQ((Rows{{"1", "2"}, {"", ""}, {"", ""}, {"", "x"}}), cellsOf(table, {"A", "B"}));
    ASSERT_EQ(0, table->write_table_data());
    EXPECT_EQ("A,B\n1,2\n,\n,\n,x\n", readFile(tablePath()));
}

TEST_F(TableStoreTest, SetOfUnknownColumnOrBadRowChangesNothing) {
    const std::string original = "A,B\n1,2\n";
    struct Case {
        const char* label;
        std::string column;
        int row;
    };
    const Case cases[] = {
        {"unknown column, held row", "C", 0},
        {"unknown column, new row", "C", 5},
        {"empty column name", "", 0},
        {"negative row", "A", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ZVTABLE* table = load(original);
        ASSERT_NE(nullptr, table);
        EXPECT_NE(0, table->set(c.column, c.row, "x"));
        EXPECT_EQ(1, table->get_stored_rows());
        EXPECT_EQ((Rows{{"1", "2"}}), cellsOf(table, {"A", "B"}));
        ASSERT_EQ(0, table->write_table_data());
        EXPECT_EQ(original, readFile(tablePath()));
    }
}

TEST_F(TableStoreTest, StoredRowCountDecidesWhatIsWritten) {
    using Step = std::function<void(ZVTABLE*)>;
    auto count = [](int rows) {
        return [rows](ZVTABLE* t) { EXPECT_EQ(0, t->set_stored_rows(rows)); };
    };
    auto refused = [](int rows) {
        return [rows](ZVTABLE* t) {
            EXPECT_NE(0, t->set_stored_rows(rows));
            EXPECT_EQ(5, t->get_stored_rows());
        };
    };
    auto cell = [](int row, const char* text) {
        return [row, text](ZVTABLE* t) { EXPECT_EQ(0, t->set("A", row, text)); };
    };
    struct Case {
        const char* label;
        std::vector<Step> steps;
        std::string file;
    };
    const Case cases[] = {
        {"cut to two", {count(2)}, "A,B\n1,a\n2,b\n"},
        {"cut to none", {count(0)}, "A,B\n"},
        {"unchanged", {count(5)}, "A,B\n1,a\n2,b\n3,c\n4,d\n5,e\n"},
        {"set rows, then cut", {cell(0, "x"), cell(1, "y"), count(2)}, "A,B\nx,a\ny,b\n"},
        // Rows once cut off hold nothing: they do not come back with their old cells.
        {"cut, then set beyond", {count(2), cell(3, "new")}, "A,B\n1,a\n2,b\n,\nnew,\n"},
        {"cut, then grow by count", {count(1), count(3)}, "A,B\n1,a\n,\n,\n"},
        {"cut to none, then set", {count(0), cell(0, "z")}, "A,B\nz,\n"},
        {"grow by count", {count(6)}, "A,B\n1,a\n2,b\n3,c\n4,d\n5,e\n,\n"},
        {"negative count refused", {refused(-1)}, "A,B\n1,a\n2,b\n3,c\n4,d\n5,e\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ZVTABLE* table = load("A,B\n1,a\n2,b\n3,c\n4,d\n5,e\n");
        ASSERT_NE(nullptr, table);
        for (const Step& step : c.steps)
            step(table);
        ASSERT_EQ(0, table->write_table_data());
        EXPECT_EQ(c.file, readFile(tablePath()));
    }
}

// ------------------------------------------------------------ the database

class TableDirectoryTest : public TableStoreTest {
  protected:
    void SetUp() override {
        TableStoreTest::SetUp();
        const char* saved = std::getenv("ZVDB_DIR");
        hadVariable_ = saved != nullptr;
        if (hadVariable_)
            savedVariable_ = saved;
    }
    void TearDown() override {
        if (hadVariable_)
            setenv("ZVDB_DIR", savedVariable_.c_str(), 1);
        else
            unsetenv("ZVDB_DIR");
        TableStoreTest::TearDown();
    }

  private:
    bool hadVariable_ = false;
    std::string savedVariable_;
};

TEST_F(TableDirectoryTest, DatabaseDirectoryIsChosenByNameThenVariable) {
    TempDir other;
    writeFile(dir_.file("HW_CONFIG.csv"), "IO_name\nx\n");
    const std::string missing = dir_.file("no-such-dir");
    enum class Variable { Unset, Empty, Tables, Other };
    struct Case {
        const char* label;
        std::string name;
        Variable variable;
        bool found;
        int initResult; // -1: not checked (the default directory is the host's business)
    };
    const Case cases[] = {
        {"explicit name", dir_.path(), Variable::Unset, true, 0},
        {"explicit name wins over the variable", dir_.path(), Variable::Other, true, 0},
        {"variable for the empty name", "", Variable::Tables, true, 0},
        {"variable names another database", "", Variable::Other, false, 0},
        {"default without the variable", "", Variable::Unset, false, -1},
        {"default for an empty variable", "", Variable::Empty, false, -1},
        {"missing directory", missing, Variable::Tables, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        switch (c.variable) {
        case Variable::Unset:
            unsetenv("ZVDB_DIR");
            break;
        case Variable::Empty:
            setenv("ZVDB_DIR", "", 1);
            break;
        case Variable::Tables:
            setenv("ZVDB_DIR", dir_.path().c_str(), 1);
            break;
        case Variable::Other:
            setenv("ZVDB_DIR", other.path().c_str(), 1);
            break;
        }
        StringList names = {"HW_CONFIG"};
        ZV_MASTER_TABLE master(names, 0);
        std::string name = c.name;
        testing::internal::CaptureStderr();
        int result = master.init_data_table(&name[0], 49, 1, 400, 400, nullptr);
        std::string log = testing::internal::GetCapturedStderr();
        if (c.initResult == 0) {
            EXPECT_EQ(0, result) << log;
        } else if (c.initResult > 0) {
            EXPECT_NE(0, result);
        }
        EXPECT_EQ(c.found, master.get_class_pointer("HW_CONFIG") != nullptr);
    }
}

TEST_F(TableDirectoryTest, ClassPointerOnlyForPlainNamesOfExistingFiles) {
    const std::string db = dir_.file("db");
    ASSERT_EQ(0, mkdir(db.c_str(), 0755));
    ASSERT_EQ(0, mkdir((db + "/sub").c_str(), 0755));
    ASSERT_EQ(0, mkdir((db + "/DIRTABLE.csv").c_str(), 0755));
    writeFile(db + "/HW_CONFIG.csv", "IO_name\nlisted\n");
    writeFile(db + "/EXTRA.csv", "IO_name\nextra\n");
    writeFile(db + "/sub/INNER.csv", "IO_name\ninner\n");
    writeFile(dir_.file("OUTSIDE.csv"), "IO_name\noutside\n");

    Database database(db, {"HW_CONFIG", "LISTED_MISSING"});
    ASSERT_EQ(0, database.initResult());
    struct Case {
        const char* name;
        const char* firstCell; // null: no handle expected
    };
    const Case cases[] = {
        {"HW_CONFIG", "listed"},
        {"EXTRA", "extra"},
        {"LISTED_MISSING", nullptr},
        {"NOT_THERE", nullptr},
        {"../OUTSIDE", nullptr},
        {"sub/INNER", nullptr},
        {"/etc/passwd", nullptr},
        {"..", nullptr},
        {".", nullptr},
        {"", nullptr},
        {"DIRTABLE", nullptr},
        {"HW_CONFIG.csv", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZVTABLE* table = database.table(c.name);
        if (c.firstCell == nullptr) {
            EXPECT_EQ(nullptr, table);
            continue;
        }
        ASSERT_NE(nullptr, table);
        EXPECT_EQ(table, database.table(c.name)) << "one handle per table";
        ASSERT_EQ(0, table->read_table_data());
        std::string cell;
        EXPECT_EQ(0, table->get("IO_name", 0, cell));
        EXPECT_EQ(c.firstCell, cell);
    }
    EXPECT_EQ(nullptr, database.table(nullptr));

    // A table that appears later is found on its first request.
    writeFile(db + "/LATE.csv", "IO_name\nlate\n");
    EXPECT_NE(nullptr, database.table("LATE"));
}

// ------------------------------------------------------------ atomic replacement

// Scripted behaviour of the system calls behind a table write.
struct OsScript {
    int mkstempErrno = 0;
    int writeCalls = 0;
    int failWriteCall = -1; // index of the write call that fails
    int failWriteErrno = 0; // 0: that call returns 0 (nothing written: disk full)
    int interruptWriteCall = -1;
    std::size_t writeLimit = SIZE_MAX; // bytes a write call takes at most
    int fsyncCalls = 0;
    int failFsyncCall = -1;
    int renameErrno = 0;
    std::vector<std::string> events;
};
OsScript script;

int scriptedMkstemp(char* pathTemplate) {
    script.events.push_back("mkstemp");
    if (script.mkstempErrno != 0) {
        errno = script.mkstempErrno;
        return -1;
    }
    return ::mkstemp(pathTemplate);
}

ssize_t scriptedWrite(int fd, const void* data, size_t size) {
    int call = script.writeCalls++;
    script.events.push_back("write");
    if (call == script.interruptWriteCall) {
        errno = EINTR;
        return -1;
    }
    if (call == script.failWriteCall) {
        if (script.failWriteErrno == 0)
            return 0;
        errno = script.failWriteErrno;
        return -1;
    }
    return ::write(fd, data, std::min(size, script.writeLimit));
}

int scriptedFsync(int fd) {
    int call = script.fsyncCalls++;
    script.events.push_back("fsync");
    if (call == script.failFsyncCall) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

int scriptedRename(const char* from, const char* to) {
    script.events.push_back("rename");
    if (script.renameErrno != 0) {
        errno = script.renameErrno;
        return -1;
    }
    return ::rename(from, to);
}

class TableReplaceTest : public TableStoreTest {
  protected:
    void SetUp() override {
        TableStoreTest::SetUp();
        script = OsScript();
        tableStoreOs() =
            TableStoreOs{scriptedMkstemp, scriptedWrite, scriptedFsync, scriptedRename};
    }
};

TEST_F(TableReplaceTest, FailedStepLeavesTheTableFileAsItWas) {
    struct Case {
        const char* label;
        std::function<void(OsScript&)> arrange;
        const char* reason;
    };
    const Case cases[] = {
        {"mkstemp fails", [](OsScript& s) { s.mkstempErrno = EACCES; }, "Permission denied"},
        {"write fails",
         [](OsScript& s) {
             s.failWriteCall = 0;
             s.failWriteErrno = EIO;
         },
         "Input/output error"},
        {"write takes nothing: disk full", [](OsScript& s) { s.failWriteCall = 0; },
         "No space left on device"},
        {"short write, then disk full",
         [](OsScript& s) {
             s.writeLimit = 5;
             s.failWriteCall = 2;
         },
         "No space left on device"},
        {"fsync fails", [](OsScript& s) { s.failFsyncCall = 0; }, "Input/output error"},
        {"rename fails", [](OsScript& s) { s.renameErrno = EXDEV; }, "Invalid cross-device link"},
    };
    const std::string original = "A,B\r\nold,\"keep, this\"\r\n2,3\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ZVTABLE* table = load(original);
        ASSERT_NE(nullptr, table);
        ASSERT_EQ(0, table->set("A", 0, "new"));
        ASSERT_EQ(0, table->set("B", 4, "grown"));

        script = OsScript();
        c.arrange(script);
        testing::internal::CaptureStderr();
        int result = table->write_table_data();
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(0, result);
        EXPECT_NE(std::string::npos, log.find("SysLog zvTable@")) << log;
        EXPECT_NE(std::string::npos, log.find(tablePath())) << log;
        EXPECT_NE(std::string::npos, log.find(c.reason)) << log;
        EXPECT_EQ(original, readFile(tablePath()));
        EXPECT_EQ(std::vector<std::string>{"T.csv"}, directoryEntries(dir_.path()));

        // Once the fault has passed, the same table is written in full.
        script = OsScript();
        ASSERT_EQ(0, table->write_table_data());
        EXPECT_EQ("A,B\nnew,\"keep, this\"\n2,3\n,\n,\n,grown\n", readFile(tablePath()));
    }
}

TEST_F(TableReplaceTest, ShortAndInterruptedWritesStillWriteEverything) {
    struct Case {
        const char* label;
        std::function<void(OsScript&)> arrange;
    };
    const Case cases[] = {
        {"plain", [](OsScript&) {}},
        {"one byte a call", [](OsScript& s) { s.writeLimit = 1; }},
        {"seven bytes a call", [](OsScript& s) { s.writeLimit = 7; }},
        {"first write interrupted", [](OsScript& s) { s.interruptWriteCall = 0; }},
        {"later write interrupted",
         [](OsScript& s) {
             s.writeLimit = 4;
             s.interruptWriteCall = 3;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ZVTABLE* table = load("Installed_hw,label\nold,RTD 1\n");
        ASSERT_NE(nullptr, table);
        ASSERT_EQ(0, table->set("Installed_hw", 0, "a \"quoted\", name"));
        ASSERT_EQ(0, table->set("Installed_hw", 1, "b"));
        script = OsScript();
        c.arrange(script);
        ASSERT_EQ(0, table->write_table_data());
        EXPECT_EQ("Installed_hw,label\n\"a \"\"quoted\"\", name\",RTD 1\nb,\n",
                  readFile(tablePath()));
        EXPECT_EQ(std::vector<std::string>{"T.csv"}, directoryEntries(dir_.path()));

        // Durable before visible: data synced before the rename, and the
        // directory synced after it.
        const std::vector<std::string>& ev = script.events;
        auto lastWrite = std::find(ev.rbegin(), ev.rend(), "write").base() - ev.begin();
        auto firstFsync = std::find(ev.begin(), ev.end(), "fsync") - ev.begin();
        auto rename = std::find(ev.begin(), ev.end(), "rename") - ev.begin();
        auto lastFsync = std::find(ev.rbegin(), ev.rend(), "fsync").base() - ev.begin() - 1;
        ASSERT_LT(rename, static_cast<std::ptrdiff_t>(ev.size()));
        EXPECT_LE(lastWrite, firstFsync);
        EXPECT_LT(firstFsync, rename);
        EXPECT_GT(lastFsync, rename);
    }
}

TEST_F(TableReplaceTest, ReaderOfTheOldFileSeesTheOldTableWhole) {
    const std::string original = "A\n1\n2\n3\n";
    ZVTABLE* table = load(original);
    ASSERT_NE(nullptr, table);
    int oldFd = open(tablePath().c_str(), O_RDONLY);
    ASSERT_GE(oldFd, 0);
    ASSERT_EQ(0, table->set("A", 0, "replaced"));
    ASSERT_EQ(0, table->set_stored_rows(1));
    ASSERT_EQ(0, table->write_table_data());

    std::string seen(64, '\0');
    ssize_t n = read(oldFd, &seen[0], seen.size());
    close(oldFd);
    ASSERT_GE(n, 0);
    seen.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(original, seen);
    EXPECT_EQ("A\nreplaced\n", readFile(tablePath()));
}

TEST_F(TableReplaceTest, ReplacedFileKeepsThePermissionBits) {
    const mode_t modes[] = {0600, 0640, 0644, 0604, 0660, 0444};
    mode_t oldMask = umask(077);
    for (mode_t mode : modes) {
        SCOPED_TRACE(mode);
        writeFile(tablePath(), "A\n1\n");
        ASSERT_EQ(0, chmod(tablePath().c_str(), mode));
        ZVTABLE* table = reload();
        ASSERT_NE(nullptr, table);
        ASSERT_EQ(0, table->set("A", 0, "2"));
        ASSERT_EQ(0, table->write_table_data());
        struct stat st {};
        ASSERT_EQ(0, stat(tablePath().c_str(), &st));
        EXPECT_EQ(mode, st.st_mode & 07777);
        EXPECT_EQ("A\n2\n", readFile(tablePath()));
        chmod(tablePath().c_str(), 0644);
        unlink(tablePath().c_str());
    }
    umask(oldMask);
}

} // namespace
