// The system calls through which a whole file is replaced. Internal: tests
// swap entries to fail a step on demand, or to watch the steps; never exported.
#pragma once

#include <sys/types.h>

struct WholeFileOs {
    // open(2) with O_CREAT | O_EXCL: makes the temporary file.
    int (*create)(const char* path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void* data, size_t size);
    ssize_t (*write)(int fd, const void* data, size_t size);
    int (*fsync)(int fd);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    int (*rename)(const char* from, const char* to);
};

// The table in use; starts with the real calls.
WholeFileOs& wholeFileOs();
