#include "tools/recorder-sim/bootp_reply.h"

#include <algorithm>

namespace fk::sim {

namespace {
constexpr std::size_t kOp = 0, kXid = 4, kYiaddr = 16, kSiaddr = 20, kChaddr = 28, kFile = 108,
                      kFileSize = 128;
constexpr std::uint8_t kBootReply = 2;
constexpr std::array<std::uint8_t, 4> kExpectedXid{'F', 'K', 'T', '0'};
}  // namespace

BootpInspection InspectBootpReply(Bytes payload, const MacAddress& ownMac) {
    BootpInspection result;
    if (payload.size() < kBootpMessageSize) return result;
    if (payload[kOp] != kBootReply) {
        result.verdict = BootpVerdict::NotReply;
        return result;
    }
    if (!std::equal(kExpectedXid.begin(), kExpectedXid.end(), payload.begin() + kXid)) {
        result.verdict = BootpVerdict::WrongXid;
        return result;
    }
    if (!std::equal(ownMac.begin(), ownMac.end(), payload.begin() + kChaddr)) {
        result.verdict = BootpVerdict::WrongChaddr;
        return result;
    }
    // RFC 951: the file field is a null-terminated string; a name that fills it has been cut.
    const auto file = payload.subspan(kFile, kFileSize);
    const auto end = std::find(file.begin(), file.end(), std::uint8_t{0});
    if (end == file.end()) return result;

    result.verdict = BootpVerdict::Accepted;
    result.offer.yourAddress = ReadU32(payload, kYiaddr);
    result.offer.serverAddress = ReadU32(payload, kSiaddr);
    result.offer.fileName.assign(file.begin(), end);
    return result;
}

}  // namespace fk::sim
