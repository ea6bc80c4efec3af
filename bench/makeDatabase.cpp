// makeDatabase: writes a configuration database for the benchmark into DIR:
// HW_CONFIG with ROWS rows over all twelve codes (10 belongs to no category,
// every fifth location a quoted cell), and the eleven category tables with a
// few old rows and a second column.
//
//   makeDatabase DIR ROWS
#include "categoryTables.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

void writeTable(const std::string& dir, const char* table, const std::string& text) {
    std::ofstream out(dir + "/" + table + ".csv", std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
        std::fprintf(stderr, "makeDatabase: cannot write %s/%s.csv\n", dir.c_str(), table);
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    long rows = argc == 3 ? std::atol(argv[2]) : 0;
    if (rows <= 0) {
        std::fprintf(stderr, "usage: makeDatabase DIR ROWS\n");
        return 2;
    }
    std::string dir = argv[1];
    std::string text = "IO_name,IO_function,IO_type,Location\n";
    text.reserve(static_cast<std::size_t>(rows) * 48 + 64);
    for (long i = 0; i < rows; ++i) {
        long code = i % 12 + 1;
        text += "IO_" + std::to_string(i) + ":SLOT_" + std::to_string(i % 7) + ":," +
                std::to_string(code) + ",type " + std::to_string(code) +
                (i % 5 == 0 ? ",\"slot, \"\"front\"\"\"\n" : ",base board\n");
    }
    writeTable(dir, "HW_CONFIG", text);
    for (const char* table : bench::kCategoryTables)
        writeTable(dir, table,
                   std::strcmp(table, "RTD_SEL") == 0
                       ? "Installed_hw,label\nOLD:SLOT_2:,RTD 1\n"
                       : "Installed_hw,Notes\nOLD_1,\"first, kept\"\nOLD_2,second\n");
    return 0;
}
