#pragma once

// Plain system calls for the per-block path. In a process with more than one thread the C
// library's wrappers of open, pread, close, sendto and recvfrom switch the thread's cancellation
// state on and off around every call (two atomic updates each), a cost a single-threaded server
// never pays. No thread of this program is ever cancelled, so the calls below go to the kernel
// directly. Each returns what its wrapper returns: the result, or -1 with errno set.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

namespace fk::platform {

// pread64 takes its offset in one argument only where a long holds 64 bits.
static_assert(sizeof(long) == 8 && sizeof(off_t) == 8, "64-bit Linux only");

inline int OpenNoCancel(const char* path, int flags) {
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, 0));
}

inline int CloseNoCancel(int fd) {
    return static_cast<int>(syscall(SYS_close, fd));
}

inline ssize_t PreadNoCancel(int fd, void* buffer, std::size_t count, off_t offset) {
    return syscall(SYS_pread64, fd, buffer, count, offset);
}

inline ssize_t SendToNoCancel(int fd, const void* data, std::size_t length, int flags,
                              const sockaddr* to, socklen_t toLength) {
    return syscall(SYS_sendto, fd, data, length, flags, to, toLength);
}

inline ssize_t RecvFromNoCancel(int fd, void* buffer, std::size_t length, int flags, sockaddr* from,
                                socklen_t* fromLength) {
    return syscall(SYS_recvfrom, fd, buffer, length, flags, from, fromLength);
}

}  // namespace fk::platform
