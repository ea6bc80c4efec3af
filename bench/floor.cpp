// floor: the least work a scan of a configuration database can do. Reads
// HW_CONFIG and the eleven category tables whole and replaces each category
// table with the bytes it already holds, as durably as the table store does
// (temporary file, write, fsync, rename, directory fsync). The benchmark
// measures deviceScan against this on the same database.
//
//   floor DIR
#include "categoryTables.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void die(const char* what, const std::string& path) {
    int err = errno;
    std::fprintf(stderr, "floor: %s %s: %s\n", what, path.c_str(), std::strerror(err));
    std::exit(1);
}

std::string readWhole(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die("cannot open", path);
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) == 0)
        text.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            die("cannot read", path);
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

void replace(const std::string& directory, const std::string& path, const std::string& text) {
    std::string temp = path + ".tmpXXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0)
        die("cannot create a temporary beside", path);
    // The table keeps its permissions, as the store keeps them.
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        fchmod(fd, st.st_mode & 07777);
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            die("cannot write", temp);
        done += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0)
        die("cannot sync", temp);
    if (rename(temp.c_str(), path.c_str()) != 0)
        die("cannot rename", temp);
    int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0)
        die("cannot sync", directory);
    close(dir);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor DIR\n");
        return 2;
    }
    std::string directory = argv[1];
    std::string hwConfig = readWhole(directory + "/HW_CONFIG.csv");
    for (const char* table : bench::kCategoryTables) {
        std::string path = directory + "/" + table + ".csv";
        replace(directory, path, readWhole(path));
    }
    // Keep the read of HW_CONFIG from being optimised away.
    return hwConfig.empty() ? 1 : 0;
}
