// deviceScan entry: read the switches, open the configuration database over
// HW_CONFIG and the category tables, rewrite the category tables, exit 0.
// With -n or --dry-run it prints what the scan would change instead, and
// exits as diff(1) does. Asked for its usage or its version, it answers and
// exits without touching the database.
#include "debug.h"
#include "deviceScan.h"
#include "programStart.h"
#include "scanPreview.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kUsage =
    "Usage: deviceScan [-n | --dry-run] [-v]... [-V]... [--syslogtodebug]\n"
    "       deviceScan -h | --help | --version\n"
    "\n"
    "Rewrites the analyser's hardware-category tables (ANALOG_INPUTS_SEL, RTD_SEL, ...)\n"
    "to list the I/O items that HW_CONFIG records as installed, then exits.\n"
    "\n"
    "  -n, --dry-run    change nothing; print what a scan would change\n"
    "  -v               raise the trace level by one (may be repeated)\n"
    "  -V               turn on the most detailed traces (special debug level IV)\n"
    "  --syslogtodebug  copy every system-log record to standard error\n"
    "  -h, --help       print this help and exit\n"
    "  --version        print the version and exit\n"
    "Other arguments are ignored; each that begins with - is named on standard error.\n"
    "\n"
    "-n prints a block per category table, each line beginning with a fixed word:\n"
    "  unchanged TABLE rows N; missing TABLE: ...; kept TABLE: WHY (left as it is);\n"
    "  changed TABLE rows N -> M, then for each row whose Installed_hw (in RTD_SEL\n"
    "  also label) changes: was ROW OLD, now ROW NEW; add ROW NEW; cut ROW OLD.\n"
    "  HW_CONFIG unusable: one line, unusable HW_CONFIG: WHY; no table would be ...\n"
    "Other cells of a row stay in place. In names, backslash, comma, quote, control\n"
    "characters, bytes that are no UTF-8 and blanks at either end come as \\xHH.\n"
    "\n"
    "Database: the directory named by ZVDB_DIR, or /nvdata/configdb when it is unset.\n"
    "Signals: SIGUSR1 raises the trace level of a running deviceScan by one; SIGUSR2\n"
    "lowers it by one, and at level 0 takes back one -V.\n"
    "Traces go to the debug pipe /var/run/debugpipe while a debug server (debugServer)\n"
    "reads it, otherwise to standard output. Problems go to the system log.\n"
    "\n"
    "Exit status: 0 after every scan, also when tables are missing from the database.\n"
    "With -n: 0 when no table would change, 1 when one would, 2 when HW_CONFIG is\n"
    "missing, cannot be loaded or lacks IO_function or IO_name (or output failed).\n"
    "-h, --help and --version exit 0 without opening the database (1 when the answer\n"
    "cannot be written).\n";

const char* const kVersion = "deviceScan " DEVICESCAN_VERSION "\n";

const char* const kKnownArguments[] = {"-v",        "-V", "--syslogtodebug", "-n",
                                       "--dry-run", "-h", "--help",          "--version"};

// Whether a preview is asked for. Every other argument that looks like a
// switch is named on standard error, so that a mistyped -n does not pass
// unseen into a real scan.
bool readDryRun(int argc, char** argv) {
    bool dryRun = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        dryRun = dryRun || std::strcmp(arg, "-n") == 0 || std::strcmp(arg, "--dry-run") == 0;
        bool known = arg[0] != '-';
        for (const char* name : kKnownArguments)
            known = known || std::strcmp(arg, name) == 0;
        if (!known)
            std::fprintf(stderr, "deviceScan: unknown option %s ignored\n", shownText(arg).c_str());
    }
    return dryRun;
}

} // namespace

int main(int argc, char** argv) {
    openStandardDescriptors("deviceScan");
    // Checked before InstallDebug, so that the answer comes without its
    // notices and without signal handlers.
    int answered = answerHelpOrVersion(argc, argv, "deviceScan", kUsage, kVersion);
    if (answered >= 0)
        return answered;

    const bool dryRun = readDryRun(argc, argv);
    InstallDebug(argc, argv);

    DeviceScanner scanner;
    HardwareCategory* cursor = categoryTable;
    scanner.buildTableList(cursor);
    cursor = categoryTable;
    scanner.createMasterTable();
    int status = 0;
    if (dryRun)
        status = previewScan(scanner, cursor, stdout);
    else
        scanner.scanInstalledHardware(cursor);

    // A preview that did not reach its reader is no answer.
    if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && dryRun) {
        std::perror("deviceScan: standard output");
        return kPreviewImpossible;
    }
    return status;
}
