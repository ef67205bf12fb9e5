#pragma once
// Winsock's inet_addr, inet_pton and inet_ntop, where the core includes them the POSIX way.
#include <winsock2.h>
#include <ws2tcpip.h>
