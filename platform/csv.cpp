// RFC 4180 reader and writer used by the file-backed table store.
#include "csv.h"

namespace {

bool needsQuotes(const std::string& field) {
    return field.find_first_of(",\"\r\n") != std::string::npos;
}

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    // Reads one record into fields. Returns false at end of input or on error.
    bool next(std::vector<std::string>& fields, CsvError& error) {
        fields.clear();
        if (pos_ >= text_.size())
            return false;
        recordLine_ = line_;
        std::string field;
        for (;;) {
            field.clear();
            if (pos_ < text_.size() && text_[pos_] == '"') {
                if (!quoted(field, error))
                    return false;
            } else {
                std::size_t end = text_.find_first_of(",\"\r\n", pos_);
                if (end == std::string::npos)
                    end = text_.size();
                field.assign(text_, pos_, end - pos_);
                pos_ = end;
                if (pos_ < text_.size() && text_[pos_] == '"')
                    return fail(error, "quote inside an unquoted field");
            }
            fields.push_back(field);
            if (pos_ >= text_.size())
                return true;
            char c = text_[pos_];
            if (c == ',') {
                ++pos_;
                continue;
            }
            if (c == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n')
                ++pos_;
            else if (c == '\r')
                return fail(error, "carriage return without line feed");
            ++pos_;
            ++line_;
            return true;
        }
    }

    std::size_t recordLine() const { return recordLine_; }
    bool failed() const { return failed_; }

private:
    bool quoted(std::string& field, CsvError& error) {
        ++pos_; // opening quote
        for (;;) {
            std::size_t end = text_.find('"', pos_);
            if (end == std::string::npos)
                return fail(error, "unterminated quoted field");
            for (std::size_t i = pos_; i < end; ++i)
                if (text_[i] == '\n')
                    ++line_;
            field.append(text_, pos_, end - pos_);
            pos_ = end + 1;
            if (pos_ < text_.size() && text_[pos_] == '"') {
                field.push_back('"');
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '\n' &&
                text_[pos_] != '\r')
                return fail(error, "text after a closing quote");
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
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    std::size_t recordLine_ = 1;
    bool failed_ = false;
};

} // namespace

bool parseCsv(const std::string& text, std::vector<std::string>& header,
              std::vector<std::string>& cells, CsvError& error) {
    header.clear();
    cells.clear();
    Parser parser(text);
    if (!parser.next(header, error)) {
        if (!parser.failed()) {
            error.line = 1;
            error.what = "no header record";
        }
        return false;
    }
    std::vector<std::string> fields;
    while (parser.next(fields, error)) {
        if (fields.size() != header.size()) {
            error.line = parser.recordLine();
            error.what = "record has " + std::to_string(fields.size()) + " fields, header has " +
                         std::to_string(header.size());
            return false;
        }
        for (std::string& f : fields)
            cells.push_back(std::move(f));
    }
    return !parser.failed();
}

void appendCsvRecord(std::string& out, const std::string* fields, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0)
            out.push_back(',');
        const std::string& f = fields[i];
        if (needsQuotes(f) || (count == 1 && f.empty())) {
            out.push_back('"');
            for (char c : f) {
                if (c == '"')
                    out.push_back('"');
                out.push_back(c);
            }
            out.push_back('"');
        } else {
            out += f;
        }
    }
    out.push_back('\n');
}
