// The scanner: table-name list, master table, and the installed-hardware scan.
#include "deviceScan.h"

#include "debug.h"
#include "sysLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

HardwareCategory categoryTable[kCategoryCount] = {
    {1, "ANALOG_INPUTS_SEL"},    {2, "ANALOG_OUTPUTS_SEL"}, {3, "DIGITAL_INPUTS_SEL"},
    {4, "DIGITAL_OUTPUTS_SEL"},  {8, "HEATER_CONTROL_SEL"}, {6, "DETECTOR_SEL"},
    {9, "SOLENOID_VALVE_SEL"},   {11, "EPC_SEL"},           {7, "RTD_SEL"},
    {5, "PREAMP_STREAMING_SEL"}, {12, "ZVLTLOI_SEL"},
};

namespace {

const char* const kModule = "deviceScan";

// Source lines named in this module's trace and log records.
const unsigned long kLineTableName = 145;
const unsigned long kLineCategoryMissingTrace = 204;
const unsigned long kLineCategoryMissingLog = 205;
const unsigned long kLineInstalledColumnMissingLog = 207;
const unsigned long kLineHwConfigMissingTrace = 213;
const unsigned long kLineHwConfigMissingLog = 215;
const unsigned long kLineHwConfigUnreadableLog = 217;
const unsigned long kLineHwConfigColumnMissingLog = 219;
const unsigned long kLineNullHwConfigTrace = 247;
const unsigned long kLineNullHwConfigLog = 249;

const char* const kHwConfig = "HW_CONFIG";
const char* const kColumnFunction = "IO_function";
const char* const kColumnName = "IO_name";

// Master table opening arguments; their meaning is the table service's.
const char kMasterFlag = 0;
const task_id kTaskId = 49;
const access_level kAccessLevel = 1;
const long kReadTimeout = 400;
const long kWriteTimeout = 400;

} // namespace

DeviceScanner::DeviceScanner() : masterTable(nullptr) {}

DeviceScanner::~DeviceScanner() {
    delete masterTable;
}

int DeviceScanner::buildTableList(HardwareCategory*& cursor) {
    tableNames.clear();
    tableNames.push_back(kHwConfig);
    for (int i = 0; i < kCategoryCount; ++i, ++cursor) {
        if (DebugLevel != 0)
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineTableName, "%s",
                     cursor->tableName.c_str());
        tableNames.push_back(cursor->tableName);
    }
    return 0;
}

int DeviceScanner::createMasterTable() {
    masterTable = new ZV_MASTER_TABLE(tableNames, kMasterFlag);
    char emptyName[] = "";
    return masterTable->init_data_table(emptyName, kTaskId, kAccessLevel, kReadTimeout,
                                        kWriteTimeout, nullptr);
}

std::string rtdLabel(int row) {
    char label[32];
    std::snprintf(label, sizeof label, "RTD %ld", static_cast<long>(row) + 1);
    return label;
}

HwConfigState openHwConfig(ZV_MASTER_TABLE* master, ZVTABLE*& hwConfig, int& rowCount,
                           std::string& missing) {
    hwConfig = master->get_class_pointer(kHwConfig);
    if (hwConfig == nullptr) {
        if (DebugLevel != 0)
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineHwConfigMissingTrace,
                     "Table Not found : HW_CONFIG");
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kModule, kLineHwConfigMissingLog,
               "::Table not found : HW_CONFIG");
        return HwConfigState::missing;
    }
    // An HW_CONFIG that cannot be loaded says nothing about what is
    // installed; rewriting the categories from it would empty them all.
    if (hwConfig->read_table_data() != 0) {
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kModule, kLineHwConfigUnreadableLog,
               "::Table could not be loaded : HW_CONFIG; no table rewritten");
        return HwConfigState::unloadable;
    }
    rowCount = hwConfig->get_stored_rows();
    // Nor does one without a column the scan reads, with rows or without
    // (a sheet saved empty): every category would get rows of empty names,
    // or none.
    missing.clear();
    for (const char* column : {kColumnFunction, kColumnName}) {
        if (!hasColumn(hwConfig, rowCount, column))
            missing += (missing.empty() ? "" : ", ") + std::string(column);
    }
    if (missing.empty())
        return HwConfigState::usable;
    SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kModule, kLineHwConfigColumnMissingLog,
           "::Column not found in HW_CONFIG : %s; no table rewritten", missing.c_str());
    return HwConfigState::columnMissing;
}

ZVTABLE* openCategoryTable(ZV_MASTER_TABLE* master, const std::string& tableName) {
    ZVTABLE* table = master->get_class_pointer(tableName.c_str());
    if (table == nullptr) {
        if (DebugLevel != 0)
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineCategoryMissingTrace,
                     "Table Not found :%s", tableName.c_str());
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kModule, kLineCategoryMissingLog,
               "::Table not found : %s", tableName.c_str());
    }
    return table;
}

// Row 0 exists when there are rows, so a failed text read of it means the
// column is missing. Without rows only the whole-column read can tell, and
// it copies nothing then.
bool hasColumn(ZVTABLE* table, int rows, const char* column) {
    if (rows > 0) {
        std::string probe;
        return table->get(column, 0, probe) == 0;
    }
    StringList none;
    return table->get(column, none) == 0;
}

// Cutting the rows of a table without Installed_hw would lose them with
// nothing set in their place.
bool keepsRowsWithoutInstalled(ZVTABLE* table, const std::string& tableName) {
    int rows = table->get_stored_rows();
    if (rows <= 0 || hasColumn(table, rows, kColumnInstalled))
        return false;
    SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kModule, kLineInstalledColumnMissingLog,
           "::Column not found in %s : %s; table left as it was", tableName.c_str(),
           kColumnInstalled);
    return true;
}

int DeviceScanner::scanInstalledHardware(HardwareCategory*& cursor) {
    StringList names;
    ZVTABLE* hwConfig = nullptr;
    int rowCount = 0;
    std::string missing;
    if (openHwConfig(masterTable, hwConfig, rowCount, missing) != HwConfigState::usable)
        return 0;

    for (int i = 0; i < kCategoryCount; ++i, ++cursor) {
        const std::string& tableName = cursor->tableName;
        ZVTABLE* table = openCategoryTable(masterTable, tableName);
        if (table == nullptr)
            continue;
        table->read_table_data();
        if (collectInstalledNames(hwConfig, rowCount, cursor->code, names) == 0) {
            if (keepsRowsWithoutInstalled(table, tableName))
                continue;
            table->set_stored_rows(0);
        } else {
            int count = static_cast<int>(names.size());
            bool labelled = tableName == kRtdTable;
            for (int row = 0; row < count; ++row) {
                table->set(kColumnInstalled, row, names[static_cast<std::size_t>(row)]);
                if (labelled)
                    table->set(kColumnLabel, row, rtdLabel(row));
            }
            table->set_stored_rows(count);
        }
        table->write_table_data();
    }
    return 0;
}

int DeviceScanner::collectInstalledNames(ZVTABLE* hwConfig, int rowCount, int code,
                                         StringList& names) {
    names.clear();
    if (hwConfig == nullptr) {
        if (DebugLevel != 0)
            DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, kModule, kLineNullHwConfigTrace,
                     "HW_CONFIG table pointer is equal to null");
        SysLog(ERR_SEVERITY_ERROR, ERR_INVALID_DATA, kModule, kLineNullHwConfigLog,
               "HW_CONFIG table pointer is equal to null");
        std::exit(1);
    }
    for (int row = 0; row < rowCount; ++row) {
        long function = 0;
        if (hwConfig->get(kColumnFunction, row, function) != 0)
            continue; // a cell that cannot be read names no category
        if (function == code) {
            std::string name;
            hwConfig->get(kColumnName, row, name);
            names.push_back(name);
        }
    }
    return names.empty() ? 0 : 1;
}
