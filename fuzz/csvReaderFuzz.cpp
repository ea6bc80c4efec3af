// Fuzzes the table file reader: any bytes either load or fail cleanly, and a
// table that loads is written back and loads again with the same cells.
#include "csv.h"
#include "tableStoreOs.h"
#include "zvTable.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

// One database directory for the whole run; syncs are skipped to keep the
// pace, the writes themselves are real.
struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/csvfuzz.XXXXXX";
        directory = mkdtemp(pattern);
        table = directory + "/FUZZ.csv";
        tableStoreOs().fsync = [](int) { return 0; };
    }
    ~Scratch() {
        unlink(table.c_str());
        rmdir(directory.c_str());
    }
    std::string directory;
    std::string table;
};

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "csvReaderFuzz: %s\n", what);
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Scratch scratch;
    std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<std::string> header;
    std::vector<std::string> cells;
    CsvError error;
    bool parsed = parseCsv(text, header, cells, error);
    if (!parsed) {
        check(error.line >= 1 && !error.what.empty(), "failure without a line and a reason");
    } else {
        check(!header.empty() && cells.size() % header.size() == 0, "ragged cells");
        // Written back, the records read the same and write the same bytes.
        std::string out;
        appendCsvRecord(out, header.data(), header.size());
        for (std::size_t at = 0; at < cells.size(); at += header.size())
            appendCsvRecord(out, cells.data() + at, header.size());
        std::vector<std::string> header2;
        std::vector<std::string> cells2;
        check(parseCsv(out, header2, cells2, error), "own output does not parse");
        check(header2 == header && cells2 == cells, "own output reads differently");
    }

    {
        std::ofstream file(scratch.table, std::ios::binary | std::ios::trunc);
        file << text;
    }
    StringList names{"FUZZ"};
    ZV_MASTER_TABLE master(names, 0);
    std::vector<char> dir(scratch.directory.begin(), scratch.directory.end());
    dir.push_back('\0');
    master.init_data_table(dir.data(), 49, 1, 400, 400, nullptr);
    ZVTABLE* table = master.get_class_pointer("FUZZ");
    check(table != nullptr, "table not found");
    int loaded = table->read_table_data();
    check((loaded == 0) == parsed, "store and reader disagree");
    if (loaded != 0) {
        check(table->write_table_data() != 0, "a table that failed to load was written");
        return 0;
    }
    int rows = table->get_stored_rows();
    check(rows == static_cast<int>(cells.size() / header.size()), "row count");
    for (int row = 0; row < rows; ++row) {
        std::string value;
        long number = 0;
        check(table->get(header.back(), row, value) == 0, "cell unreadable");
        table->get(header.front(), row, number);
    }
    // A set and a shrink, written and read back through the file.
    table->set(header.front(), rows, "set, \"quoted\"\n");
    table->set_stored_rows(rows / 2 + 1);
    check(table->write_table_data() == 0, "write failed");
    check(table->read_table_data() == 0, "written table does not load");
    check(table->get_stored_rows() == rows / 2 + 1, "row count after write");
    return 0;
}
