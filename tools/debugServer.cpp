// debugServer: a stand-in for the analyser's debug server. Creates the debug
// pipe when it is missing and copies every trace line it reads to standard
// output, so that the trace channel's pipe mode can be watched anywhere.
//
//   debugServer [PIPE]      PIPE defaults to /var/run/debugpipe
//   debugServer -h | --help | --version
#include "programStart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char* const kUsage =
    "Usage: debugServer [PIPE]\n"
    "       debugServer -h | --help | --version\n"
    "\n"
    "Creates the debug pipe PIPE (default /var/run/debugpipe) when it is missing and\n"
    "prints every trace line that deviceScan and the other traced processes write to\n"
    "it, until it is stopped. Start it first: a process that finds no reader on the\n"
    "pipe at its first trace line prints its traces on standard output instead.\n"
    "\n"
    "Exit status: 1 when PIPE cannot be created or opened or is not a FIFO.\n"
    "-h, --help and --version exit 0 without creating the pipe.\n";

const char* const kVersion = "debugServer " DEVICESCAN_VERSION "\n";

} // namespace

int main(int argc, char** argv) {
    int answered = answerHelpOrVersion(argc, argv, "debugServer", kUsage, kVersion);
    if (answered >= 0)
        return answered;
    const char* path = argc > 1 ? argv[1] : "/var/run/debugpipe";
    if (mkfifo(path, 0666) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "debugServer: cannot create %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        std::fprintf(stderr, "debugServer: %s is not a FIFO\n", path);
        return 1;
    }
    // O_RDWR keeps a writer on the pipe, so the server does not see end of
    // file each time a traced process exits.
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "debugServer: cannot open %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (std::fwrite(buffer, 1, static_cast<std::size_t>(n), stdout) !=
            static_cast<std::size_t>(n))
            break;
        std::fflush(stdout);
    }
    close(fd);
    return 0;
}
