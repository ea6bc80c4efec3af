// Recording table service: the ZV_MASTER_TABLE and ZVTABLE of zvTable.h,
// defined over in-memory tables that tests fill and inspect.
#include "recordingTables.h"

#include "zvTable.h"

namespace recording {

std::map<std::string, Table>& tables() {
    static std::map<std::string, Table> all;
    return all;
}

std::vector<std::string>& calls() {
    static std::vector<std::string> all;
    return all;
}

void reset() {
    tables().clear();
    calls().clear();
}

Table& addTable(const std::string& name, std::vector<std::string> columns,
                std::vector<std::vector<std::string>> rows) {
    Table& table = tables()[name];
    table = Table{};
    table.columns = std::move(columns);
    table.rows = std::move(rows);
    table.storedRows = static_cast<int>(table.rows.size());
    return table;
}

std::vector<std::string> callsStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& call : calls())
        if (call.compare(0, prefix.size(), prefix) == 0)
            found.push_back(call);
    return found;
}

namespace {

void record(std::string call) {
    calls().push_back(std::move(call));
}

Table* find(const std::string& name) {
    auto it = tables().find(name);
    return it == tables().end() ? nullptr : &it->second;
}

int columnOf(const Table& table, const std::string& column) {
    for (std::size_t i = 0; i < table.columns.size(); ++i)
        if (table.columns[i] == column)
            return static_cast<int>(i);
    return -1;
}

} // namespace
} // namespace recording

using recording::record;

ZVTABLE::ZVTABLE(std::string name, std::string path)
    : name_(std::move(name)), path_(std::move(path)) {}

int ZVTABLE::read_table_data() {
    record("read_table_data " + name_);
    return 0;
}

int ZVTABLE::get_stored_rows() {
    record("get_stored_rows " + name_);
    recording::Table* table = recording::find(name_);
    return table == nullptr ? 0 : table->storedRows;
}

int ZVTABLE::get(std::string column, int row, long& value) {
    record("get " + name_ + " " + column + " " + std::to_string(row) + " long");
    std::string text;
    recording::Table* table = recording::find(name_);
    int col = table == nullptr ? -1 : recording::columnOf(*table, column);
    if (col < 0 || row < 0 || row >= static_cast<int>(table->rows.size()))
        return 1;
    value = std::stol(table->rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)]);
    return 0;
}

int ZVTABLE::get(std::string column, int row, std::string& value) {
    record("get " + name_ + " " + column + " " + std::to_string(row) + " string");
    recording::Table* table = recording::find(name_);
    int col = table == nullptr ? -1 : recording::columnOf(*table, column);
    if (col < 0 || row < 0 || row >= static_cast<int>(table->rows.size()))
        return 1;
    value = table->rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
    return 0;
}

int ZVTABLE::get(std::string column, StringList& values) {
    record("get " + name_ + " " + column + " column");
    recording::Table* table = recording::find(name_);
    int col = table == nullptr ? -1 : recording::columnOf(*table, column);
    if (col < 0)
        return 1;
    for (const auto& row : table->rows)
        values.push_back(row[static_cast<std::size_t>(col)]);
    for (const std::string& extra : table->extraColumnValues)
        values.push_back(extra);
    return 0;
}

int ZVTABLE::set(std::string column, int row, std::string value) {
    record("set " + name_ + " " + column + " " + std::to_string(row) + " " + value);
    recording::Table* table = recording::find(name_);
    int col = table == nullptr ? -1 : recording::columnOf(*table, column);
    if (col < 0 || row < 0)
        return 1;
    while (static_cast<int>(table->rows.size()) <= row)
        table->rows.emplace_back(table->columns.size());
    table->rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)] = std::move(value);
    return 0;
}

int ZVTABLE::set_stored_rows(int rows) {
    record("set_stored_rows " + name_ + " " + std::to_string(rows));
    recording::Table* table = recording::find(name_);
    if (table != nullptr)
        table->storedRows = rows;
    return 0;
}

int ZVTABLE::write_table_data() {
    record("write_table_data " + name_);
    recording::Table* table = recording::find(name_);
    if (table != nullptr)
        ++table->writes;
    return 0;
}

ZV_MASTER_TABLE::ZV_MASTER_TABLE(StringList& tableNames, char flag) : tableNames_(tableNames) {
    std::string joined;
    for (const std::string& name : tableNames)
        joined += (joined.empty() ? "" : ",") + name;
    record("new ZV_MASTER_TABLE " + joined + " flag=" + std::to_string(static_cast<int>(flag)));
}

ZV_MASTER_TABLE::~ZV_MASTER_TABLE() {
    record("delete ZV_MASTER_TABLE");
}

int ZV_MASTER_TABLE::init_data_table(char* name, task_id task, access_level access,
                                     long readTimeout, long writeTimeout, pthread_mutex_t* mutex) {
    record("init_data_table name='" + std::string(name != nullptr ? name : "(null)") +
           "' task=" + std::to_string(task) + " access=" + std::to_string(access) + " " +
           std::to_string(readTimeout) + " " + std::to_string(writeTimeout) +
           " mutex=" + (mutex == nullptr ? "null" : "set"));
    directory_ = "recording";
    return 0;
}

ZVTABLE* ZV_MASTER_TABLE::get_class_pointer(const char* tableName) {
    std::string name = tableName != nullptr ? tableName : "";
    record("get_class_pointer " + name);
    if (recording::find(name) == nullptr)
        return nullptr;
    auto found = tables_.find(name);
    if (found != tables_.end())
        return found->second.get();
    auto table = std::make_unique<ZVTABLE>(name, "");
    ZVTABLE* handle = table.get();
    tables_.emplace(name, std::move(table));
    return handle;
}
