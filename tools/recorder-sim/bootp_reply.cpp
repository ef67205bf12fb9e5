#include "tools/recorder-sim/bootp_reply.h"

#include <algorithm>

namespace fk::sim {

namespace {
constexpr std::size_t kOp = 0, kHtype = 1, kHlen = 2, kXid = 4, kFlags = 10, kYiaddr = 16,
                      kSiaddr = 20, kChaddr = 28, kFile = 108, kFileSize = 128, kVend = 236;
constexpr std::uint8_t kBootRequest = 1, kBootReply = 2, kEthernet = 1;
// RFC 1048: the vendor field opens with this cookie; the end option closes it.
constexpr std::array<std::uint8_t, 5> kEmptyVendorField{99, 130, 83, 99, 255};
}  // namespace

BootpInspection InspectBootpReply(Bytes payload, const MacAddress& ownMac, const Xid& xid) {
    BootpInspection result;
    if (payload.size() < kBootpMessageSize) return result;
    if (payload[kOp] != kBootReply) {
        result.verdict = BootpVerdict::NotReply;
        return result;
    }
    if (!std::equal(xid.begin(), xid.end(), payload.begin() + kXid)) {
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

std::vector<std::uint8_t> BuildBootpRequest(const MacAddress& ownMac, const Xid& xid) {
    std::vector<std::uint8_t> request(kBootpMessageSize, 0);
    request[kOp] = kBootRequest;
    request[kHtype] = kEthernet;
    request[kHlen] = static_cast<std::uint8_t>(ownMac.size());
    std::copy(xid.begin(), xid.end(), request.begin() + kXid);
    request[kFlags] = 0x80;
    std::copy(ownMac.begin(), ownMac.end(), request.begin() + kChaddr);
    std::copy(kEmptyVendorField.begin(), kEmptyVendorField.end(), request.begin() + kVend);
    return request;
}

}  // namespace fk::sim
