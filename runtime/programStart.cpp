// What every program of the analyser's runtime does first: make sure that
// descriptors 0 to 2 are open, then answer -h, --help and --version.
#include "programStart.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kDevNull = "/dev/null";
const int kStandardDescriptors = 3;

} // namespace

unsigned openStandardDescriptors(const char* program) {
    unsigned opened = 0;
    for (int fd = 0; fd < kStandardDescriptors; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor, and so fd itself: those below it are open.
        if (open(kDevNull, O_RDWR) < 0) {
            int err = errno;
            std::fprintf(stderr, "%s: cannot open %s: %s\n", program, kDevNull, std::strerror(err));
            std::exit(1);
        }
        opened |= 1u << fd;
    }
    return opened;
}

int answerHelpOrVersion(int argc, char** argv, const char* program, const char* usage,
                        const char* version) {
    const char* answer = nullptr;
    for (int i = 1; i < argc && answer == nullptr; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0)
            answer = usage;
        else if (std::strcmp(argv[i], "--version") == 0)
            answer = version;
    }
    if (answer == nullptr)
        return -1;
    if (std::fputs(answer, stdout) >= 0 && std::fflush(stdout) == 0)
        return 0;
    std::fprintf(stderr, "%s: standard output: %s\n", program, std::strerror(errno));
    return 1;
}
