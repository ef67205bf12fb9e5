#pragma once

// Winsock and Win32 report their own codes; the core speaks errno values (EACCES,
// EADDRINUSE...), as on Linux, so that its rules and texts are one for both systems.

namespace fk::platform {

int ErrnoFromWinsock(int wsaError);
int ErrnoFromWin32(unsigned long win32Error);
// Winsock started once for the process, before the first socket.
void StartWinsock();

}  // namespace fk::platform
