// -h, --help and --version of the project's programs: asked for in any
// position (each compared whole, the first of them deciding), a program
// prints its usage or its version and ends without doing anything else.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>

// The exit status after answering, or -1 when the command line asks for
// neither. An answer that cannot be written is an error, not a silent success.
inline int answerHelpOrVersion(int argc, char** argv, const char* program, const char* usage,
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
