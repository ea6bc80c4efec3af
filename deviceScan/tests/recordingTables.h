// A recording stand-in for the table service, linked into scanner tests in
// place of the file store. Tables live in memory; every call on the service
// is appended to calls() as one line of text, in the order made:
//
//   "new ZV_MASTER_TABLE <names joined by ','> flag=<n>"
//   "init_data_table name='<name>' task=<n> access=<n> <long> <long> mutex=<null|set>"
//   "get_class_pointer <table>"          (also when the table is missing)
//   "read_table_data <table>"   "get_stored_rows <table>"
//   "get <table> <column> <row> long"   "get <table> <column> <row> string"
//   "get <table> <column> column"
//   "set <table> <column> <row> <text>"   "set_stored_rows <table> <n>"
//   "write_table_data <table>"           "delete ZV_MASTER_TABLE"
#pragma once

#include <map>
#include <string>
#include <vector>

namespace recording {

struct Table {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows; // rows[row][column]
    int storedRows = 0;
    // Values the whole-column read returns beyond storedRows (for tests of
    // callers that must stop at the stored row count).
    std::vector<std::string> extraColumnValues;
    int writes = 0;
};

// The tables that the master table can hand out, by name.
std::map<std::string, Table>& tables();
// Every call made on the service since the last reset().
std::vector<std::string>& calls();
// Forgets all tables and calls.
void reset();

// Adds a table with the given columns and rows; storedRows = rows.size().
Table& addTable(const std::string& name, std::vector<std::string> columns,
                std::vector<std::vector<std::string>> rows = {});

// The calls whose text begins with prefix, in order.
std::vector<std::string> callsStartingWith(const std::string& prefix);

} // namespace recording
