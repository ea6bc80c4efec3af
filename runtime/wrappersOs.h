// The calls behind the checked wrappers. Internal: tests swap entries to make
// a call fail on demand or to count pauses; never exported.
#pragma once

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

#include <ctime>

struct WrappersOs {
    int (*system)(const char* command);
    int (*select)(int count, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                  timeval* timeout);
    // open() with its permission mode always given; it matters only on creation.
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buffer, size_t count);
    ssize_t (*write)(int fd, const void* buffer, size_t count);
    void* (*malloc)(size_t size);
    void* (*realloc)(void* block, size_t size);
    time_t (*time)(time_t* seconds);
    int (*socket)(int domain, int type, int protocol);
    int (*bind)(int socket, const sockaddr* address, socklen_t length);
    int (*listen)(int socket, int backlog);
    int (*accept)(int socket, sockaddr* address, socklen_t* length);
    // nanosleep(): interrupted by a signal, it fails with EINTR and stores the
    // time still to sleep in LEFT.
    int (*nanosleep)(const timespec* duration, timespec* left);
};

// The table in use; starts with the real calls.
WrappersOs& wrappersOs();
// The real calls, to restore the table from.
const WrappersOs& realWrappersOs();
