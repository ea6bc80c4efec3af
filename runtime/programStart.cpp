// What every program of the analyser's runtime does first with its command
// line: answer -h, --help and --version.
#include "programStart.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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
