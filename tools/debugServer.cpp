// debugServer: a stand-in for the analyser's debug server. Creates the debug
// pipe when it is missing and copies every trace line it reads to standard
// output, so that the trace channel's pipe mode can be watched anywhere.
//
//   debugServer [--] [PIPE]  PIPE defaults to /var/run/debugpipe
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
    "Usage: debugServer [--] [PIPE]\n"
    "       debugServer -h | --help | --version\n"
    "\n"
    "Creates the debug pipe PIPE (default /var/run/debugpipe) when it is missing and\n"
    "prints every trace line that deviceScan and the other traced processes write to\n"
    "it, until it is stopped. Start it first: a process that finds no reader on the\n"
    "pipe at its first trace line prints its traces on standard output instead.\n"
    "\n"
    "Exit status: 0 after -h, --help and --version, which create no pipe; 1 when PIPE\n"
    "cannot be created or opened or is not a FIFO, when the pipe cannot be read, or\n"
    "when standard output is closed or cannot be written; 2 for an unknown option or\n"
    "a second PIPE, which create no pipe either.\n";

const char* const kVersion = "debugServer " DEVICESCAN_VERSION "\n";

const char* const kDefaultPipe = "/var/run/debugpipe";
const int kUsageStatus = 2;

// The pipe named on the command line, the default one when none is, or null
// for a command line that is not understood: an option (anything from "-" on
// but a first "--", which ends the options) or a second path.
const char* pipePath(int argc, char** argv) {
    const char* path = nullptr;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        if (options && std::strcmp(argv[i], "--") == 0)
            options = false;
        else if ((options && argv[i][0] == '-') || path != nullptr)
            return nullptr;
        else
            path = argv[i];
    }
    return path != nullptr ? path : kDefaultPipe;
}

// Copies what arrives on FD to standard output until a read or a write fails.
int copyLines(int fd, const char* path) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(stderr, "debugServer: cannot read %s: %s\n", path, std::strerror(errno));
            return 1;
        }
        if (n == 0) // not while the server itself holds a writer's end
            return 0;
        if (std::fwrite(buffer, 1, static_cast<std::size_t>(n), stdout) !=
                static_cast<std::size_t>(n) ||
            std::fflush(stdout) != 0) {
            std::fprintf(stderr, "debugServer: standard output: %s\n", std::strerror(errno));
            return 1;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    unsigned reopened = openStandardDescriptors("debugServer");
    int answered = answerHelpOrVersion(argc, argv, "debugServer", kUsage, kVersion);
    if (answered >= 0)
        return answered;
    const char* path = pipePath(argc, argv);
    if (path == nullptr) {
        std::fputs(kUsage, stderr);
        return kUsageStatus;
    }
    // Every line would vanish into /dev/null.
    if ((reopened & (1u << STDOUT_FILENO)) != 0) {
        std::fputs("debugServer: standard output is closed\n", stderr);
        return 1;
    }
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
    int status = copyLines(fd, path);
    close(fd);
    return status;
}
