#include "platform/windows/winsock_errors.h"

// Winsock first: the other system headers use its types.
// clang-format off
#include <winsock2.h>
// clang-format on
#include <windows.h>

#include <cerrno>
#include <mutex>

namespace fk::platform {

int ErrnoFromWinsock(int wsaError) {
    switch (wsaError) {
        case WSAEACCES:
            return EACCES;
        case WSAEADDRINUSE:
            return EADDRINUSE;
        case WSAEADDRNOTAVAIL:
            return EADDRNOTAVAIL;
        case WSAEWOULDBLOCK:
            return EAGAIN;
        case WSAEINTR:
            return EINTR;
        case WSAEINVAL:
            return EINVAL;
        case WSAEMSGSIZE:
            return EMSGSIZE;
        case WSAENETUNREACH:
            return ENETUNREACH;
        case WSAEHOSTUNREACH:
            return EHOSTUNREACH;
        case WSAENETDOWN:
            return ENETDOWN;
        case WSAENOBUFS:
            return ENOBUFS;
        case WSAEMFILE:
            return EMFILE;
        case WSAENOTSOCK:
            return EBADF;
        case WSAECONNRESET:
            return ECONNRESET;
        default:
            return EIO;
    }
}

int ErrnoFromWin32(unsigned long win32Error) {
    switch (win32Error) {
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_NOT_FOUND:
        case ERROR_FILE_NOT_FOUND:
            return ENOENT;
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_NOT_SUPPORTED:
        case ERROR_CALL_NOT_IMPLEMENTED:
        case ERROR_PROC_NOT_FOUND:
            return ENOSYS;
        case ERROR_OBJECT_ALREADY_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}

void StartWinsock() {
    static std::once_flag started;
    std::call_once(started, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

}  // namespace fk::platform
