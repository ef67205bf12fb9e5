// BuildBootpReply for any addresses, MAC and boot file name. Input: recorder address (4 bytes),
// server address (4), MAC (6), then the name. Every byte of the 300 is checked: the fixed
// fields, the addresses in network order, the MAC, the name cut to leave the file field's
// terminating zero, and zeros everywhere else, so no part of a long name reaches the vendor area.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "fuzz_require.h"
#include "wire/bootp_packet.h"

namespace {

constexpr std::size_t kFile = 108;

std::uint32_t U32At(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return std::uint32_t{bytes[offset]} << 24 | std::uint32_t{bytes[offset + 1]} << 16 |
           std::uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    if (input.size() < 14) return 0;
    const fk::Ipv4 recorder = U32At(input, 0);
    const fk::Ipv4 server = U32At(input, 4);
    fk::MacAddress mac{};
    std::copy_n(input.begin() + 8, mac.size(), mac.begin());
    const std::string_view name(reinterpret_cast<const char*>(data) + 14, size - 14);

    const fk::BootpReply reply = fk::BuildBootpReply(recorder, server, mac, name);
    static_assert(sizeof(reply) == 300);

    FUZZ_REQUIRE(reply[0] == 2 && reply[1] == 1 && reply[2] == 6);
    FUZZ_REQUIRE(reply[4] == 'F' && reply[5] == 'K' && reply[6] == 'T' && reply[7] == '0');
    FUZZ_REQUIRE(U32At(reply, 16) == recorder);
    FUZZ_REQUIRE(U32At(reply, 20) == server);
    FUZZ_REQUIRE(std::equal(mac.begin(), mac.end(), reply.begin() + 28));
    const std::size_t kept = std::min(name.size(), fk::kBootpFileFieldSize - 1);
    const auto nameBytes = input.subspan(14, kept);
    FUZZ_REQUIRE(std::equal(nameBytes.begin(), nameBytes.end(), reply.begin() + kFile));
    FUZZ_REQUIRE(reply[kFile + fk::kBootpFileFieldSize - 1] == 0);
    for (std::size_t i = 0; i < reply.size(); ++i) {
        const bool written = i <= 2 || (i >= 4 && i < 8) || (i >= 16 && i < 24) ||
                             (i >= 28 && i < 28 + mac.size()) || (i >= kFile && i < kFile + kept);
        if (!written) FUZZ_REQUIRE(reply[i] == 0);
    }
    return 0;
}
