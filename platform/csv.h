// RFC 4180 records for the table store: parsing a whole file and writing one
// record at a time.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct CsvError {
    std::size_t line = 0; // 1-based line where the offending record starts
    std::string what;
};

// Parses a whole file. The first record becomes header, the fields of every
// further record are appended to cells row by row. Fails (returning false and
// filling error) on no header, an unterminated quote, a stray quote or text
// after a closing quote, or a record whose field count differs from the header's.
bool parseCsv(const std::string& text, std::vector<std::string>& header,
              std::vector<std::string>& cells, CsvError& error);

// Appends one record and its LF. Fields are quoted only when they must be: a
// comma, quote, CR or LF inside, or a record of one empty field.
void appendCsvRecord(std::string& out, const std::string* fields, std::size_t count);
