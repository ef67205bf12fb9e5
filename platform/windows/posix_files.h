#pragma once

// Given to every file of the Windows build ahead of its own includes. The core reads images with
// POSIX calls, which the C runtime has, with differences that matter: files open as text and
// unshared unless told otherwise, offsets are 32 bits unless asked for more, and there is neither
// a close-on-exec flag, pread nor NAME_MAX.

#ifdef __cplusplus
#define _FILE_OFFSET_BITS 64
#define _POSIX_THREAD_SAFE_FUNCTIONS 200112L  // gmtime_r
#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <sys/types.h>

// Every open of the core asks for close-on-exec: that flag, of a type of its own, picks the
// open() below, which opens binary and shares the file as POSIX does.
struct PosixOpenFlags {
    int value;
};
constexpr PosixOpenFlags operator|(int flags, PosixOpenFlags more) {
    return {flags | more.value};
}
constexpr PosixOpenFlags operator|(PosixOpenFlags flags, int more) {
    return {flags.value | more};
}
#define O_CLOEXEC (PosixOpenFlags{_O_BINARY})
#define O_NONBLOCK 0
#define O_NOCTTY 0  // no controlling terminals: CreateFileW never makes one
#ifndef NAME_MAX
#define NAME_MAX 255  // of one component of a path, as NTFS keeps it
#endif

// Reads at the offset without moving the descriptor's own position, as POSIX's pread does.
ssize_t pread(int fd, void* into, size_t length, off_t offset);
// open() of a UTF-8 path, sharing the file as POSIX does: an image being served may still be
// renamed over or removed. The C runtime's own open() shares no deletion and reads the path in
// the ANSI code page.
int open(const char* path, PosixOpenFlags flags);
#endif
