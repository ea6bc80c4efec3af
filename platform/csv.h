// RFC 4180 records for the table store: parsing a whole file and writing one
// record at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CsvError {
    std::size_t line = 0; // 1-based line where the offending record starts
    std::string what;
};

// A field found by position rather than copied: size bytes at offset in the
// parsed text, or, when inExtra is set, in the extra buffer that takes the
// fields whose text had to be unescaped (doubled quotes).
struct CsvSpan {
    std::uint32_t offset;
    std::uint32_t size : 31;
    std::uint32_t inExtra : 1;
};

// The largest text parseCsvSpans takes, so that every offset and size fits a span.
const std::size_t kCsvMaxText = 0x7fffffff;

// The UTF-8 byte-order mark that spreadsheets put before a "CSV UTF-8" file.
const char kCsvByteOrderMark[] = "\xEF\xBB\xBF";
const std::size_t kCsvByteOrderMarkSize = sizeof kCsvByteOrderMark - 1;

// Bytes of a field quoted in a record, and the room that takes at most.
const std::size_t kCsvExcerptBytes = 40;
const std::size_t kCsvExcerptSize = 4 * kCsvExcerptBytes + 8;

// The start of a field for a record: quoted, its first kCsvExcerptBytes bytes
// with control bytes escaped (\xNN) so that a record stays one line, and
// "..." after the quote when there was more. Allocates nothing.
void csvExcerpt(const char* data, std::size_t size, char (&out)[kCsvExcerptSize]);

// Whether text starts with the byte-order mark. The parsers read such a text
// as if it did not: the mark is no part of the first column's name.
bool startsWithByteOrderMark(const std::string& text);

// Parses a whole file. The first record becomes header; the fields of every
// further record are appended to cells row by row, as spans into text, or
// into extra, to which the unescaped fields are appended. Fails (returning
// false and filling error) on no header, an unterminated quote, a stray quote
// or text after a closing quote, a non-empty column name given twice, a
// record whose field count differs from the header's, or a text above
// kCsvMaxText. In a header of two or more columns a line with nothing on it
// is no record and is skipped; in a table of one column it is an empty cell.
bool parseCsvSpans(const std::string& text, std::vector<std::string>& header,
                   std::vector<CsvSpan>& cells, std::string& extra, CsvError& error);

// Appends one record and its LF. Fields are quoted only when they must be: a
// comma, quote, CR or LF inside, a record of one empty field, or a field that
// starts out and begins with the byte-order mark's bytes.
void appendCsvRecord(std::string& out, const std::string* fields, std::size_t count);

// Appends one field of a record, quoted when it must be; alone says that the
// record has this one field. The caller adds the commas and the LF.
void appendCsvField(std::string& out, const char* data, std::size_t size, bool alone);
