// deviceScan: brings the analyser's hardware-category tables in line with
// the hardware that HW_CONFIG records as installed.
//
// The scanner owns the master table of the configuration database, opened
// over HW_CONFIG and the eleven category tables. The entry function calls,
// in this order: buildTableList, createMasterTable, scanInstalledHardware;
// the destructor frees the master table.
#pragma once

#include "zvTable.h"

#include <cstdint>
#include <string>

struct HardwareCategory {
    std::int32_t code;     // IO_function value of HW_CONFIG rows of this category
    std::string tableName; // the category's table
};

const int kCategoryCount = 11;

// The eleven categories in scan order (not the order of their codes).
extern HardwareCategory categoryTable[kCategoryCount];

// What the scan writes: Installed_hw in every category table, and in RTD_SEL
// also label, "RTD %ld" of the row counted from 1.
const char* const kColumnInstalled = "Installed_hw";
const char* const kColumnLabel = "label";
const char* const kRtdTable = "RTD_SEL";
std::string rtdLabel(int row);

// The steps that the scan and its preview (scanPreview.h) share, so that both
// judge a database alike and leave the same trace and system-log records.
enum class HwConfigState { usable, missing, unloadable, columnMissing };
// Fetches HW_CONFIG from master, loads it and takes its stored row count.
// Unless it is usable, records why (then nothing may be rewritten from it);
// for columnMissing, missing names the columns, comma-separated.
HwConfigState openHwConfig(ZV_MASTER_TABLE* master, ZVTABLE*& hwConfig, int& rowCount,
                           std::string& missing);
// The category's table, or null after recording that it was not found.
ZVTABLE* openCategoryTable(ZV_MASTER_TABLE* master, const std::string& tableName);
// Whether a loaded table of rows stored rows has column.
bool hasColumn(ZVTABLE* table, int rows, const char* column);
// Whether the loaded table has rows but no Installed_hw, so that emptying it
// would lose them; records it when so.
bool keepsRowsWithoutInstalled(ZVTABLE* table, const std::string& tableName);

class DeviceScanner {
  public:
    DeviceScanner();
    ~DeviceScanner();
    DeviceScanner(const DeviceScanner&) = delete;
    DeviceScanner& operator=(const DeviceScanner&) = delete;

    // "HW_CONFIG", then the tableName of 11 categories from the cursor on.
    // Leaves the cursor behind the eleventh. Returns 0.
    int buildTableList(HardwareCategory*& cursor);
    // Creates and opens the master table over the list; returns what
    // init_data_table returned.
    int createMasterTable();
    // Rewrites the 11 category tables from the cursor on from HW_CONFIG.
    // Leaves the cursor behind the eleventh. Returns 0. An HW_CONFIG that
    // cannot be loaded, or lacks IO_name or IO_function (with rows or
    // without), changes no table; a category table with rows but no
    // Installed_hw that is to be emptied is left as it was. The scan records
    // each case.
    int scanInstalledHardware(HardwareCategory*& cursor);
    // Empties names and appends IO_name of every HW_CONFIG row of rowCount
    // whose IO_function is code. Returns 1 when a name was collected, else 0.
    // A null hwConfig is reported and ends the process with status 1.
    int collectInstalledNames(ZVTABLE* hwConfig, int rowCount, int code, StringList& names);

    // Inventory query: replaces names (for codes with a rule) with the names
    // carrying the category's location keys, grouped in slot order. Returns 0.
    int orderByLocation(std::int32_t code, StringList& names);
    // Empties out, then appends every entry of in that contains key.
    // Returns 1 when out is non-empty.
    int filterByKey(StringList in, std::string key, StringList& out);
    // Empties out, then appends the first get_stored_rows() values of the
    // column that contain key. Returns 1 when out is non-empty.
    int readColumnByKey(std::string table, std::string column, std::string key, StringList& out);
    // Appends copies of source's entries to destination.
    void appendList(StringList& destination, StringList source);

    const StringList& names() const { return tableNames; }
    ZV_MASTER_TABLE* master() const { return masterTable; }

  private:
    ZV_MASTER_TABLE* masterTable;
    StringList tableNames;
};
