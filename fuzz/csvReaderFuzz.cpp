// Fuzzes the table file reader and writer that the store uses: any bytes
// either parse or fail with a line and a reason (leaving no header), and what
// parses, written back record by record, parses again to the same header and
// cells.
#include "csv.h"

#include <cstdint>
#include <cstdlib>

namespace {

std::vector<std::string> parsed(const std::string& text, std::vector<std::string>& header,
                                CsvError& error) {
    std::vector<CsvSpan> spans;
    std::string extra;
    std::vector<std::string> cells;
    if (!parseCsvSpans(text, header, spans, extra, error))
        header.clear();
    for (const CsvSpan& span : spans)
        cells.push_back((span.inExtra != 0 ? extra : text).substr(span.offset, span.size));
    return cells;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> header, reread;
    CsvError error;
    const std::vector<std::string> cells =
        parsed(std::string(reinterpret_cast<const char*>(data), size), header, error);
    if (header.empty())
        return error.line == 0 || error.what.empty() ? abort(), 0 : 0;
    std::string written;
    appendCsvRecord(written, header.data(), header.size());
    for (std::size_t at = 0; at < cells.size(); at += header.size())
        appendCsvRecord(written, &cells[at], header.size());
    if (parsed(written, reread, error) != cells || reread != header)
        abort();
    return 0;
}
