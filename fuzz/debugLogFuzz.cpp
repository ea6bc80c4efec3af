// Fuzzes DebugLog with texts of every length and content (passed through
// "%s", as callers pass texts that are not their own): every line reaches the
// pipe whole, in one write, ending with its newline, within the atomic-write
// limit, and carrying the text up to its first NUL, cut only when too long.
#include "debug.h"
#include "debugInternal.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Pipe {
    Pipe() {
        char pattern[] = "/tmp/debugfuzz.XXXXXX";
        directory = mkdtemp(pattern);
        path = directory + "/debugpipe";
        mkfifo(path.c_str(), 0600);
        reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        debugResetChannel(path.c_str());
    }
    ~Pipe() {
        debugResetChannel(nullptr);
        close(reader);
        unlink(path.c_str());
        rmdir(directory.c_str());
    }
    std::string directory;
    std::string path;
    int reader = -1;
};

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "debugLogFuzz: %s\n", what);
        abort();
    }
}

const char* const kPlace = "debugLogFuzz@7:";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Pipe pipe;
    std::string text(reinterpret_cast<const char*>(data), size);
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "debugLogFuzz", 7, "%s", text.c_str());

    char line[2 * PIPE_BUF];
    ssize_t got = read(pipe.reader, line, sizeof line);
    check(got > 0, "no line in the pipe");
    check(static_cast<std::size_t>(got) <= PIPE_BUF, "line above the atomic-write limit");
    check(line[got - 1] == '\n', "line without its newline");
    std::string whole(line, static_cast<std::size_t>(got) - 1);
    std::size_t place = whole.find(kPlace);
    check(place != std::string::npos, "line without its prefix");
    std::string carried = whole.substr(place + std::strlen(kPlace));
    std::string expected(text.c_str());
    check(expected.compare(0, carried.size(), carried) == 0, "text changed on its way");
    check(carried.size() == expected.size() || static_cast<std::size_t>(got) >= 512,
          "text cut although it fitted");
    return 0;
}
