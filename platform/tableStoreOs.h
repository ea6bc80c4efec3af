// The system calls through which the table store replaces a table file.
// Internal: tests swap entries to fail a step on demand; never exported.
#pragma once

#include <sys/types.h>

struct TableStoreOs {
    int (*mkstemp)(char* pathTemplate);
    ssize_t (*write)(int fd, const void* data, size_t size);
    int (*fsync)(int fd);
    int (*rename)(const char* from, const char* to);
};

// The table in use; starts with the real calls.
TableStoreOs& tableStoreOs();
