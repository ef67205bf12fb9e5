#pragma once

// Given to every file of the Windows build ahead of its own includes. The core reads images with
// POSIX calls, which the C runtime has, with four differences that matter: files open as text
// unless told otherwise, offsets are 32 bits unless asked for more, and there is neither a
// close-on-exec flag, pread nor NAME_MAX. Every open of the core asks for close-on-exec, so that
// flag carries binary mode here.

#ifdef __cplusplus
#define _FILE_OFFSET_BITS 64
#define _POSIX_THREAD_SAFE_FUNCTIONS 200112L  // gmtime_r
#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <sys/types.h>

#define O_CLOEXEC _O_BINARY
#define O_NONBLOCK 0
#ifndef NAME_MAX
#define NAME_MAX 255  // of one component of a path, as NTFS keeps it
#endif

// Reads at the offset without moving the descriptor's own position, as POSIX's pread does.
ssize_t pread(int fd, void* into, size_t length, off_t offset);
#endif
