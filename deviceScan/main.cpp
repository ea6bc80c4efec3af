// deviceScan entry: read the switches, open the configuration database over
// HW_CONFIG and the category tables, rewrite the category tables, exit 0.
#include "debug.h"
#include "deviceScan.h"

#include <cstdio>

int main(int argc, char** argv) {
    InstallDebug(argc, argv);

    DeviceScanner scanner;
    HardwareCategory* cursor = categoryTable;
    scanner.buildTableList(cursor);
    cursor = categoryTable;
    scanner.createMasterTable();
    scanner.scanInstalledHardware(cursor);

    std::fflush(stdout);
    return 0;
}
