// Fuzzes DebugLog with any text passed through "%s": each line reaches the
// pipe in one write within the atomic-write limit and ends with its newline.
#include "debug.h"
#include "debugInternal.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int reader = [] {
        std::string pipe = "/tmp/debugLogFuzz." + std::to_string(getpid());
        mkfifo(pipe.c_str(), 0600);
        int fd = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
        debugResetChannel(pipe.c_str());
        DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "", 0, "%s", ""); // opens the writing end
        unlink(pipe.c_str());
        return fd;
    }();
    std::string text(reinterpret_cast<const char*>(data), size), line(2 * PIPE_BUF, '\0');
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "", 0, "%s", text.c_str());
    ssize_t got = read(reader, &line[0], line.size());
    if (got <= 0 || got > PIPE_BUF || line[std::size_t(got) - 1] != '\n')
        std::abort();
    return 0;
}
