// The Windows facilities' own conversions: IP Helper's prefix lengths and UTF-16 names, and
// Winsock's and Win32's codes as the errno values the core's rules and texts know.

// clang-format off
#include <winsock2.h>
// clang-format on
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>

#include "platform/windows/ip_helper.h"
#include "platform/windows/winsock_errors.h"

namespace {

TEST(WindowsIpHelper, PrefixLengthsBecomeMasksAndNamesUtf8) {
    struct Row {
        unsigned prefix;
        std::uint32_t mask;
    };
    for (const Row& row : {Row{0, 0}, Row{1, 0x80000000}, Row{24, 0xFFFFFF00}, Row{31, 0xFFFFFFFE},
                           Row{32, 0xFFFFFFFF}, Row{33, 0xFFFFFFFF}}) {
        EXPECT_EQ(fk::platform::windows::MaskOfPrefix(row.prefix), row.mask) << row.prefix;
    }
    EXPECT_EQ(fk::platform::windows::Utf8(L"Ethernet 2"), "Ethernet 2");
    EXPECT_EQ(fk::platform::windows::Utf8(L"R\u00E9seau \U0001F50C"),
              "R\xC3\xA9seau \xF0\x9F\x94\x8C");
    EXPECT_EQ(fk::platform::windows::Utf8(nullptr), "");
}

TEST(WindowsErrors, SystemCodesBecomeTheErrnoValuesTheRulesKnow) {
    EXPECT_EQ(fk::platform::ErrnoFromWinsock(WSAEACCES), EACCES);
    EXPECT_EQ(fk::platform::ErrnoFromWinsock(WSAEADDRINUSE), EADDRINUSE);
    EXPECT_EQ(fk::platform::ErrnoFromWinsock(WSAEWOULDBLOCK), EAGAIN);
    EXPECT_EQ(fk::platform::ErrnoFromWinsock(WSAENETUNREACH), ENETUNREACH);
    EXPECT_EQ(fk::platform::ErrnoFromWin32(ERROR_ACCESS_DENIED), EACCES);
    // A system without CreateIpNetEntry2 sends its boot replies by broadcast: ENOSYS says so.
    EXPECT_EQ(fk::platform::ErrnoFromWin32(ERROR_PROC_NOT_FOUND), ENOSYS);
    EXPECT_EQ(fk::platform::ErrnoFromWin32(ERROR_NOT_FOUND), ENOENT);
    EXPECT_EQ(fk::platform::ErrnoFromWin32(ERROR_GEN_FAILURE), EIO);
}

}  // namespace
