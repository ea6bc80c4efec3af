// RFC 4180 reader and writer used by the file-backed table store.
//
// The reader walks the text once and records where each field lies instead
// of copying it: a table of a million rows then costs its file's bytes plus
// one small span a cell, not a string object a cell.
#include "csv.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Characters that end an unquoted field or make a field need quotes.
bool isSpecial(char c) {
    return c == ',' || c == '"' || c == '\r' || c == '\n';
}

bool needsQuotes(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        if (isSpecial(data[i]))
            return true;
    return false;
}

class Parser {
  public:
    Parser(const std::string& text, std::string& extra)
        : text_(text), extra_(extra),
          pos_(startsWithByteOrderMark(text) ? kCsvByteOrderMarkSize : 0) {}

    // Reads one record, appending its fields to fields. Returns false at end
    // of input or on error.
    bool next(std::vector<CsvSpan>& fields, std::size_t& count, CsvError& error) {
        count = 0;
        const std::size_t size = text_.size();
        if (pos_ >= size)
            return false;
        recordLine_ = line_;
        const char* data = text_.data();
        blank_ =
            data[pos_] == '\n' || (data[pos_] == '\r' && pos_ + 1 < size && data[pos_ + 1] == '\n');
        for (;;) {
            CsvSpan span{};
            if (pos_ < size && data[pos_] == '"') {
                if (!quoted(span, error))
                    return false;
            } else {
                std::size_t end = pos_;
                while (end < size && !isSpecial(data[end]))
                    ++end;
                span.offset = static_cast<std::uint32_t>(pos_);
                span.size = static_cast<std::uint32_t>(end - pos_);
                pos_ = end;
                if (pos_ < size && data[pos_] == '"')
                    return fail(error, "quote inside an unquoted field");
            }
            fields.push_back(span);
            ++count;
            if (pos_ >= size)
                return true;
            char c = data[pos_];
            if (c == ',') {
                ++pos_;
                continue;
            }
            if (c == '\r' && pos_ + 1 < size && data[pos_ + 1] == '\n')
                ++pos_;
            else if (c == '\r')
                return fail(error, "carriage return without line feed");
            ++pos_;
            ++line_;
            return true;
        }
    }

    std::size_t recordLine() const { return recordLine_; }
    // Whether the last record read was a line with nothing on it.
    bool blank() const { return blank_; }
    bool failed() const { return failed_; }
    std::size_t position() const { return pos_; }

  private:
    // A quoted field without doubled quotes is a span of the text; one with
    // them is unescaped into extra.
    bool quoted(CsvSpan& span, CsvError& error) {
        const std::size_t size = text_.size();
        const char* data = text_.data();
        ++pos_; // opening quote
        std::size_t start = pos_;
        bool unescaping = false;
        std::size_t extraStart = extra_.size();
        for (;;) {
            const void* found = std::memchr(data + pos_, '"', size - pos_);
            if (found == nullptr)
                return fail(error, "unterminated quoted field");
            std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - data);
            line_ += static_cast<std::size_t>(std::count(data + pos_, data + end, '\n'));
            if (unescaping)
                extra_.append(data + pos_, end - pos_);
            pos_ = end + 1;
            if (pos_ < size && data[pos_] == '"') {
                if (!unescaping) {
                    unescaping = true;
                    extra_.append(data + start, end - start);
                }
                extra_.push_back('"');
                ++pos_;
                continue;
            }
            if (pos_ < size && data[pos_] != ',' && data[pos_] != '\n' && data[pos_] != '\r')
                return fail(error, "text after a closing quote");
            if (unescaping) {
                span.offset = static_cast<std::uint32_t>(extraStart);
                span.size = static_cast<std::uint32_t>(extra_.size() - extraStart);
                span.inExtra = 1;
            } else {
                span.offset = static_cast<std::uint32_t>(start);
                span.size = static_cast<std::uint32_t>(end - start);
            }
            return true;
        }
    }

    bool fail(CsvError& error, const char* what) {
        error.line = recordLine_;
        error.what = what;
        failed_ = true;
        return false;
    }

    const std::string& text_;
    std::string& extra_;
    std::size_t pos_;
    std::size_t line_ = 1;
    std::size_t recordLine_ = 1;
    bool failed_ = false;
    bool blank_ = false;
};

// The first non-empty column name that the header gives twice, or null.
const std::string* repeatedName(const std::vector<std::string>& header) {
    std::vector<const std::string*> names;
    for (const std::string& name : header)
        if (!name.empty())
            names.push_back(&name);
    std::sort(names.begin(), names.end(),
              [](const std::string* a, const std::string* b) { return *a < *b; });
    for (std::size_t i = 1; i < names.size(); ++i)
        if (*names[i] == *names[i - 1])
            return names[i];
    return nullptr;
}

std::string spanText(const std::string& text, const std::string& extra, const CsvSpan& span) {
    const std::string& from = span.inExtra != 0 ? extra : text;
    return std::string(from, span.offset, span.size);
}

} // namespace

void csvExcerpt(const char* data, std::size_t size, char (&out)[kCsvExcerptSize]) {
    std::size_t at = 0;
    out[at++] = '"';
    for (std::size_t i = 0; i < size && i < kCsvExcerptBytes; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c < 0x20 || c == 0x7f)
            at += static_cast<std::size_t>(std::snprintf(out + at, 5, "\\x%02x", c));
        else
            out[at++] = static_cast<char>(c);
    }
    out[at++] = '"';
    if (size > kCsvExcerptBytes)
        for (int i = 0; i < 3; ++i)
            out[at++] = '.';
    out[at] = '\0';
}

bool startsWithByteOrderMark(const std::string& text) {
    return text.compare(0, kCsvByteOrderMarkSize, kCsvByteOrderMark) == 0;
}

bool parseCsvSpans(const std::string& text, std::vector<std::string>& header,
                   std::vector<CsvSpan>& cells, std::string& extra, CsvError& error) {
    header.clear();
    cells.clear();
    if (text.size() > kCsvMaxText) {
        error.line = 1;
        error.what = "file too large";
        return false;
    }
    Parser parser(text, extra);
    std::vector<CsvSpan> fields;
    std::size_t count = 0;
    if (!parser.next(fields, count, error)) {
        if (!parser.failed()) {
            error.line = 1;
            error.what = "no header record";
        }
        return false;
    }
    for (const CsvSpan& span : fields)
        header.push_back(spanText(text, extra, span));
    // A second column of the same name would keep whatever it held while
    // the first is rewritten.
    if (const std::string* name = repeatedName(header)) {
        char quoted[kCsvExcerptSize];
        csvExcerpt(name->data(), name->size(), quoted);
        error.line = 1;
        error.what = "column " + std::string(quoted) + " named twice";
        return false;
    }
    // One span a field of every further line; quoted line breaks only make
    // this a little more than needed. A wide header over many short or quoted
    // lines would ask for far more than the text holds, though: every field
    // but the last ends in a byte of its own, so the rest of the text holds
    // at most one field a byte and one more.
    const std::size_t rest = text.size() - parser.position();
    const std::size_t lines = static_cast<std::size_t>(std::count(
        text.begin() + static_cast<std::ptrdiff_t>(parser.position()), text.end(), '\n'));
    const std::size_t most = rest + 1;
    cells.reserve(lines + 1 <= most / header.size() ? (lines + 1) * header.size() : most);
    while (parser.next(cells, count, error)) {
        // A line with nothing on it is a record only in a table of one
        // column; elsewhere it is what a spreadsheet leaves at the end.
        if (parser.blank() && header.size() > 1 && count == 1) {
            cells.pop_back();
            continue;
        }
        if (count != header.size()) {
            error.line = parser.recordLine();
            error.what = "record has " + std::to_string(count) + " fields, header has " +
                         std::to_string(header.size());
            cells.clear();
            return false;
        }
    }
    if (parser.failed()) {
        cells.clear();
        return false;
    }
    return true;
}

void appendCsvField(std::string& out, const char* data, std::size_t size, bool alone) {
    // Unquoted at the start of a file, a field's leading mark bytes would be
    // read as a byte-order mark and dropped.
    bool looksLikeMark = out.empty() && size >= kCsvByteOrderMarkSize &&
                         std::memcmp(data, kCsvByteOrderMark, kCsvByteOrderMarkSize) == 0;
    if (!needsQuotes(data, size) && !(alone && size == 0) && !looksLikeMark) {
        out.append(data, size);
        return;
    }
    out.push_back('"');
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '"')
            out.push_back('"');
        out.push_back(data[i]);
    }
    out.push_back('"');
}

void appendCsvRecord(std::string& out, const std::string* fields, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0)
            out.push_back(',');
        appendCsvField(out, fields[i].data(), fields[i].size(), count == 1);
    }
    out.push_back('\n');
}
