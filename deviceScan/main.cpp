// deviceScan entry: read the switches, open the configuration database over
// HW_CONFIG and the category tables, rewrite the category tables, exit 0.
// Asked for its usage or its version, it answers and exits without touching
// the database.
#include "debug.h"
#include "deviceScan.h"
#include "programStart.h"

#include <cstdio>

namespace {

const char* const kUsage =
    "Usage: deviceScan [-v]... [-V]... [--syslogtodebug]\n"
    "       deviceScan -h | --help | --version\n"
    "\n"
    "Rewrites the analyser's hardware-category tables (ANALOG_INPUTS_SEL, RTD_SEL, ...)\n"
    "to list the I/O items that HW_CONFIG records as installed, then exits.\n"
    "\n"
    "  -v               raise the trace level by one (may be repeated)\n"
    "  -V               turn on the most detailed traces (special debug level IV)\n"
    "  --syslogtodebug  copy every system-log record to standard error\n"
    "  -h, --help       print this help and exit\n"
    "  --version        print the version and exit\n"
    "Other arguments are ignored.\n"
    "\n"
    "Database: the directory named by ZVDB_DIR, or /nvdata/configdb when it is unset.\n"
    "Signals: SIGUSR1 raises the trace level of a running deviceScan by one; SIGUSR2\n"
    "lowers it by one, and at level 0 takes back one -V.\n"
    "Traces go to the debug pipe /var/run/debugpipe while a debug server (debugServer)\n"
    "reads it, otherwise to standard output. Problems go to the system log.\n"
    "\n"
    "Exit status: 0 after every scan, also when tables are missing from the database.\n"
    "-h, --help and --version exit 0 without opening the database (1 when the answer\n"
    "cannot be written).\n";

const char* const kVersion = "deviceScan " DEVICESCAN_VERSION "\n";

} // namespace

int main(int argc, char** argv) {
    openStandardDescriptors("deviceScan");
    // Checked before InstallDebug, so that the answer comes without its
    // notices and without signal handlers.
    int answered = answerHelpOrVersion(argc, argv, "deviceScan", kUsage, kVersion);
    if (answered >= 0)
        return answered;

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
