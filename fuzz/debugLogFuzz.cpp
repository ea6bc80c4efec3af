// Fuzzes DebugLog with any text passed through "%s": each line reaches the
// pipe in one write within the atomic-write limit, ends with its newline and
// carries the start of the text up to its first NUL.
#include "debug.h"
#include "debugInternal.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
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
    DebugLog(ERR_SEVERITY_TRACE, ERR_NONE, "fuzz", 7, "%s", text.c_str());
    line.resize(std::size_t(std::max<ssize_t>(0, read(reader, &line[0], line.size()))));
    std::size_t start = line.find("fuzz@7:") + 7,
                carried = std::min(std::strlen(text.c_str()), std::size_t(400));
    if (line.empty() || line.size() > PIPE_BUF || line.back() != '\n' ||
        line.compare(start, carried, text, 0, carried) != 0)
        std::abort();
    return 0;
}
