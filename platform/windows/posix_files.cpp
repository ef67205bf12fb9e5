#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/windows/winsock_errors.h"

ssize_t pread(int fd, void* into, size_t length, off_t offset) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    const DWORD wanted = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD got = 0;
    if (ReadFile(handle, into, wanted, &got, &at)) return static_cast<ssize_t>(got);
    // At or past the end is the end of the file, as for pread.
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    errno = EIO;
    return -1;
}

int open(const char* path, PosixOpenFlags flags) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0) {
        errno = ENOENT;
        return -1;
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), length);
    const int mode = flags.value & (_O_RDONLY | _O_WRONLY | _O_RDWR);
    const DWORD access = mode == _O_RDWR     ? GENERIC_READ | GENERIC_WRITE
                         : mode == _O_WRONLY ? GENERIC_WRITE
                                             : GENERIC_READ;
    const HANDLE file =
        CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = fk::platform::ErrnoFromWin32(GetLastError());
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), mode | _O_BINARY);
    if (fd < 0) CloseHandle(file);
    return fd;
}
