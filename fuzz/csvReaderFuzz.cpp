// Fuzzes the table file reader: any bytes either load or fail with a line and
// a reason, and a table that loads, written back by the store after a set and
// a shrink, loads again with the cells it held.
#include "csv.h"
#include "tableStoreOs.h"
#include "zvTable.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One database for the whole run; syncs are skipped to keep the pace.
    static std::string directory = mkdtemp(&std::string("/tmp/csvfuzz.XXXXXX")[0]);
    [[maybe_unused]] static int removed =
        std::atexit([] { std::system(("rm -rf " + directory).c_str()); });
    tableStoreOs().fsync = [](int) { return 0; };
    const std::string text(reinterpret_cast<const char*>(data), size), path = directory + "/T.csv";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    StringList header, cells, names{"T"};
    CsvError error;
    bool parsed = parseCsv(text, header, cells, error);
    ZV_MASTER_TABLE master(names, 0);
    master.init_data_table(&directory[0], 49, 1, 400, 400, nullptr);
    ZVTABLE* table = master.get_class_pointer("T");
    if ((table->read_table_data() == 0) != parsed || (!parsed && error.what.empty()) ||
        (!parsed && table->write_table_data() == 0))
        abort();
    if (!parsed)
        return 0;
    int rows = table->get_stored_rows();
    long number = 0;
    table->get(header.back(), rows - 1, number);
    table->set(header.front(), rows, "set, \"quoted\"\n");
    table->set_stored_rows(rows / 2 + 1);
    StringList kept, reread;
    table->get(header.front(), kept);
    std::ostringstream written;
    if (rows != static_cast<int>(cells.size() / header.size()) || table->write_table_data() != 0)
        abort();
    written << std::ifstream(path, std::ios::binary).rdbuf();
    if (!parseCsv(written.str(), reread, cells, error) || reread != header ||
        cells.size() != kept.size() * header.size())
        abort();
    for (std::size_t row = 0; row < kept.size(); ++row)
        if (cells[row * header.size()] != kept[row])
            abort();
    return 0;
}
