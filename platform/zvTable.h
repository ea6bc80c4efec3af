// The platform's configuration table service.
//
// This build stores a database as a directory of CSV files: table NAME is the
// file NAME.csv, its first record the column names and every further record
// one stored row (RFC 4180; written with LF line ends, read with LF or CRLF).
//
// ZV_MASTER_TABLE is opened over a list of table names and hands out one
// ZVTABLE handle per table; it owns every handle. Rows are numbered from 0.
// A file that starts with a UTF-8 byte-order mark is read as if it had none
// and written back with it.
//
// Every operation that can fail returns 0 on success and nonzero on failure,
// and leaves the table as it was; running out of memory is such a failure,
// never an exception. Failures leave a system-log record, except a row
// outside the stored rows on reading, each until the table is loaded again
// at most once: a column that the table lacks once per column, a cell that is
// no integer once per column (naming its first such row and how many there
// are), running out of memory, a refused row and a text too long once each.
// A table refused at write time after failed sets says how many failed.
//
// A table file that is no regular file (a FIFO, a device) does not load.
//
// Limits: a file larger than this build can hold in one string (kCsvMaxText,
// about 1 GiB on the 32-bit controller) is refused unread, and a table never
// holds more rows than a file of that size could, at one byte a cell. Table
// names of up to NAME_MAX less the 4 bytes of ".csv" are read and written.
//
// Writes are atomic and durable (wholeFile.h): a reader or a crash sees the
// old table or the new one; its mode, owner and group are kept (an owner that
// may not be kept is recorded, and the group and mode stay); a file that
// already holds exactly the table's bytes is left in place. A failed write
// leaves the file as it was, except when only the sync of the directory after
// the rename fails: the new table is then in place but may not survive a
// power cut. A table whose last load failed, or on which a set failed since
// it was loaded, is never written back.
#pragma once

#include "csv.h"

#include <pthread.h>

#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

using StringList = std::vector<std::string>;

typedef int task_id;
typedef int access_level;

class ZVTABLE {
  public:
    ZVTABLE(std::string name, std::string path);
    ZVTABLE(const ZVTABLE&) = delete;
    ZVTABLE& operator=(const ZVTABLE&) = delete;

    // Loads the whole file; on failure the table holds no rows and cannot be written.
    int read_table_data();
    int get_stored_rows();

    // Whole cell as a decimal integer (optional sign; blanks and tabs around it
    // allowed). Fails, leaving value unchanged, for a missing column or row
    // or a cell that is no integer.
    int get(std::string column, int row, long& value);
    int get(std::string column, int row, std::string& value);
    // Appends one text per stored row, in row order.
    int get(std::string column, StringList& values);

    // A row at or beyond the rows held grows the table with empty cells.
    int set(std::string column, int row, std::string value);
    // Rows cut off are gone; a larger count adds empty rows.
    int set_stored_rows(int rows);
    int write_table_data();

  private:
    int load();
    int columnIndex(const std::string& column);
    // Records a column the loaded table lacks, once; returns 1.
    int missingColumn(const std::string& column);
    // The cell's bytes; false for a row outside the stored rows.
    bool cellAt(int col, int row, const char*& data, std::size_t& size) const;
    void reportNonIntegers(int col);
    bool rowsFit(std::size_t rows) const;
    // Failures of one kind are recorded once a load; the count of failed
    // sets is given when the table is then refused at write time.
    enum Failure : unsigned { kNoMemory = 1, kRowRefused = 2, kTextTooLong = 4 };
    bool firstOf(unsigned kind);
    int refuseRow(const char* what, int row);
    int outOfMemory(const char* doing, const std::exception& e);
    bool compose(std::string& out);
    int tooLarge();
    int replaceFile(const std::string& out);
    void clear();
    bool compactExtra();
    void compactIfWasteful();

    std::string name_;
    std::string path_;
    bool loaded_ = false;
    std::vector<std::string> columns_;
    // Cells row-major, columns_.size() a row, each a span of text_ (the file
    // as loaded) or of extra_ (unescaped fields and values set since).
    std::vector<CsvSpan> cells_;
    std::string text_;
    std::string extra_;
    std::size_t extraGarbage_ = 0; // bytes of extra_ no cell refers to any more
    int rows_ = 0;
    bool byteOrderMark_ = false;
    int failedSets_ = 0;
    unsigned reported_ = 0; // Failure kinds recorded since the load
    std::vector<std::string> missingReported_;
    std::vector<bool> integersReported_; // one a column
    // The scan asks for the same column row after row.
    int lastIndex_ = -1;
};

class ZV_MASTER_TABLE {
  public:
    ZV_MASTER_TABLE(StringList& tableNames, char flag);
    ~ZV_MASTER_TABLE();
    ZV_MASTER_TABLE(const ZV_MASTER_TABLE&) = delete;
    ZV_MASTER_TABLE& operator=(const ZV_MASTER_TABLE&) = delete;

    // Opens the database: the directory NAME, or for an empty name the
    // directory in ZVDB_DIR, else /nvdata/configdb. Returns 0 when it exists.
    int init_data_table(char* name, task_id task, access_level access, long readTimeout,
                        long writeTimeout, pthread_mutex_t* mutex);

    // The table's handle when NAME.csv exists in the database, else null.
    // Tables outside the constructor's list are opened on first request.
    ZVTABLE* get_class_pointer(const char* tableName);

  private:
    StringList tableNames_;
    std::string directory_;
    std::map<std::string, std::unique_ptr<ZVTABLE>> tables_;
};
