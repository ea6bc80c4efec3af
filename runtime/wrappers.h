// Checked system calls: one exported wrapper per system call or allocation
// function, so that callers need no error handling of their own.
//
// The common rule: a call that fails with EINTR is made again at once with the
// same arguments, without limit; any other failure writes one system-log
// record (severity 0, the error text from strerror) and calls abort(). A
// wrapper never returns an error, except REad on EAGAIN and ACceptWithTimeOut.
// MAlloc and REalloc do not retry.
//
// Every wrapper takes its caller's source location (file name, line) as its
// last two parameters. OPen, CLose, REad, WRite, MAlloc, REalloc and TIme log
// at that location; SElect, SOcket, BInd, LIsten and ACcept log at their own
// fixed "wrappers" lines and name the caller after "called from"; SYstem logs
// error number 62 at "wrappers"@199 and ignores the caller's location.
//
// The parameter types are part of the exported names and so of the interface.
// The wrappers keep no state and may be called from any thread.
#pragma once

#include "export.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

// system(): the status as system() returns it; a command that exits nonzero
// is no failure. Fatal (error number 62) when the result is negative.
RUNTIME_EXPORT int SYstem(char const* command, char* file, unsigned long line);

// select() on READSET only, with HIGHEST + 1 as the descriptor count and
// TIMEOUT (null waits without limit). Returns the number of ready
// descriptors, or 0 on time-out (traced "Select Timed Out" at level 2 or more).
// A HIGHEST whose + 1 is no int (LONG_MAX on the analyser) hands select() a
// count of -1, which it refuses with EINVAL: fatal like any other failure.
RUNTIME_EXPORT int SElect(long highest, fd_set* readSet, timeval* timeout, char const* file,
                          unsigned long line);

// open(): the new descriptor. A file created through O_CREAT or O_TMPFILE gets
// mode 0666, narrowed by the umask.
RUNTIME_EXPORT int OPen(char const* path, long flags, char* file, unsigned long line);

// close(): 0. EINTR from close() counts as done: Linux has already released
// the descriptor, so it is not closed again.
RUNTIME_EXPORT int CLose(long fd, char* file, unsigned long line);

// Reads until COUNT bytes have arrived and returns COUNT. Returns 0 at once
// when a read would block (EAGAIN), even after part of the count arrived, and
// the bytes read so far when the descriptor reaches end of file first.
RUNTIME_EXPORT int REad(long fd, void* buffer, unsigned int count, char* file, unsigned long line);

// One write(); a short write (EAGAIN included) is fatal, as is a negative
// COUNT. Returns the bytes written.
RUNTIME_EXPORT int WRite(long fd, void* buffer, int count, char* file, unsigned long line);

// malloc() and realloc(); a null result is fatal.
RUNTIME_EXPORT void* MAlloc(unsigned int size, char* file, unsigned long line);
RUNTIME_EXPORT void* REalloc(void* block, unsigned int size, char* file, unsigned long line);

// time(): seconds since the epoch, also stored through SECONDS unless null.
RUNTIME_EXPORT long TIme(long* seconds, char* file, unsigned long line);

// socket(), bind() and listen(): the new socket, 0 and 0.
RUNTIME_EXPORT int SOcket(int domain, int type, int protocol, char const* file, unsigned long line);
RUNTIME_EXPORT int BInd(int socket, sockaddr* address, int addressLength, char const* file,
                        unsigned long line);
RUNTIME_EXPORT int LIsten(int socket, int backlog, char const* file, unsigned long line);

// accept(), handing it an address length of 16 (an IPv4 socket address; the
// caller's buffer must hold that much). ECONNABORTED is tried again without
// counting; other failures are counted and tried again at once, and the
// seventh counted failure is fatal.
RUNTIME_EXPORT int ACcept(int socket, sockaddr* address, unsigned int* addressLength,
                          char const* file, unsigned long line);

// accept() as ACcept, but a counted failure pauses one second before the next
// attempt, and once the 8-bit failure counter is above TIMEOUT the call gives
// up and returns -1 without a log record: after TIMEOUT + 2 counted failures
// for TIMEOUT 0 to 254, after the first for a negative TIMEOUT, never for 255
// or more. A signal that interrupts a pause does not shorten it: the rest of
// the second is slept. FILE and LINE are ignored.
RUNTIME_EXPORT int ACceptWithTimeOut(int socket, sockaddr* address, unsigned int* addressLength,
                                     int timeout, char const* file, unsigned long line);

// *RESULT = END - START, borrowing one second when END's microseconds are the
// smaller. Inputs are not normalised; an END before START gives negative seconds.
// A field whose difference does not fit it wraps round modulo 2 to the field's
// width (2^32 on the analyser), as the analyser's arithmetic gives.
RUNTIME_EXPORT void DiffTime(timeval start, timeval end, timeval* result);
