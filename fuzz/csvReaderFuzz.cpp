// Fuzzes the table file reader and writer that the store uses: any bytes
// either parse or fail with a line and a reason, and what parses, written
// back field by field as the store writes a table, parses again to the same
// header and cells.
#include "csv.h"

#include <cstdint>
#include <cstdlib>

namespace {

std::vector<std::string> texts(const std::string& text, const std::string& extra,
                               const std::vector<CsvSpan>& spans) {
    std::vector<std::string> out;
    for (const CsvSpan& span : spans)
        out.emplace_back((span.inExtra != 0 ? extra : text).substr(span.offset, span.size));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> header, reread;
    std::vector<CsvSpan> cells, recells;
    std::string extra, reextra;
    CsvError error;
    if (!parseCsvSpans(text, header, cells, extra, error)) {
        if (error.line == 0 || error.what.empty())
            abort();
        return 0;
    }
    const std::vector<std::string> fields = texts(text, extra, cells);
    std::string written;
    appendCsvRecord(written, header.data(), header.size());
    for (std::size_t at = 0; at < fields.size(); at += header.size()) {
        for (std::size_t col = 0; col < header.size(); ++col) {
            if (col != 0)
                written.push_back(',');
            const std::string& field = fields[at + col];
            appendCsvField(written, field.data(), field.size(), header.size() == 1);
        }
        written.push_back('\n');
    }
    if (!parseCsvSpans(written, reread, recells, reextra, error) || reread != header ||
        texts(written, reextra, recells) != fields)
        abort();
    return 0;
}
