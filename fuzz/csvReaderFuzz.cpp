// Fuzzes the table file reader and writer: any bytes either parse or fail with
// a line and a reason, and what parses, written back record by record as the
// store writes a table, parses again to the same fields.
#include "csv.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> header, cells, reread, recells;
    CsvError error;
    if (!parseCsv(std::string(reinterpret_cast<const char*>(data), size), header, cells, error)) {
        if (error.line == 0 || error.what.empty())
            abort();
        return 0;
    }
    std::string written;
    appendCsvRecord(written, header.data(), header.size());
    for (std::size_t at = 0; at < cells.size(); at += header.size())
        appendCsvRecord(written, &cells[at], header.size());
    if (!parseCsv(written, reread, recells, error) || reread != header || recells != cells)
        abort();
    return 0;
}
