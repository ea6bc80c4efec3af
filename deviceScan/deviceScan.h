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
    // cannot be loaded, or has rows but lacks IO_name or IO_function, changes
    // no table; a category table with rows but no Installed_hw that is to be
    // emptied is left as it was. The scan records each case.
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

  private:
    ZV_MASTER_TABLE* masterTable;
    StringList tableNames;
};
