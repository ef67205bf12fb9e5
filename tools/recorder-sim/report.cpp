#include "tools/recorder-sim/report.h"

#include "tools/recorder-sim/image_header.h"

namespace fk::sim {

void IgnoredReplies::Count(BootpVerdict verdict) {
    switch (verdict) {
        case BootpVerdict::NotReply:
            ++notReply;
            break;
        case BootpVerdict::WrongXid:
            ++wrongXid;
            break;
        case BootpVerdict::WrongChaddr:
            ++wrongChaddr;
            break;
        case BootpVerdict::Malformed:
            ++malformed;
            break;
        case BootpVerdict::Accepted:
            break;
    }
}

std::string FormatDottedQuad(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 0xFF) + "." +
           std::to_string(address >> 8 & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string EscapeToken(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string escaped;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7F && byte != '\\') {
            escaped += c;
        } else {
            escaped += "\\x";
            escaped += kDigits[byte >> 4];
            escaped += kDigits[byte & 0xF];
        }
    }
    return escaped;
}

std::string FormatBootpLine(unsigned replies, const BootpOffer& offer) {
    return "bootp replies=" + std::to_string(replies) +
           " yiaddr=" + FormatDottedQuad(offer.yourAddress) +
           " siaddr=" + FormatDottedQuad(offer.serverAddress) +
           " file=" + EscapeToken(offer.fileName);
}

std::string FormatIgnoredLine(const IgnoredReplies& ignored) {
    return "ignored not_reply=" + std::to_string(ignored.notReply) +
           " wrong_xid=" + std::to_string(ignored.wrongXid) +
           " wrong_chaddr=" + std::to_string(ignored.wrongChaddr) +
           " malformed=" + std::to_string(ignored.malformed);
}

namespace {
const char* StatusName(FetchStatus status) {
    switch (status) {
        case FetchStatus::Complete:
            return "complete";
        case FetchStatus::Stopped:
            return "stopped";
        case FetchStatus::TimedOut:
            return "timed_out";
        case FetchStatus::Failed:
            return "failed";
    }
    return "failed";
}
}  // namespace

std::string FormatTftpLine(const FetchResult& result) {
    const Bytes received(result.received);
    const bool hasHeader = received.size() >= kHeaderBlockSize;
    const auto header = hasHeader ? ReadImageHeader(received.first(kHeaderBlockSize))
                                  : std::optional<ImageHeader>{};
    const auto imageBytes = hasHeader ? received.size() - kHeaderBlockSize : 0;
    return std::string("tftp status=") + StatusName(result.status) +
           " blocks=" + std::to_string(result.blocks) +
           " image_bytes=" + std::to_string(imageBytes) +
           " kind=" + (header ? std::to_string(header->kind) : "none") +
           " size=" + (header ? std::to_string(header->size) : "none") +
           " last_block=" + std::to_string(result.lastBlock) +
           " acks_sent=" + std::to_string(result.acksSent) +
           " duplicates=" + std::to_string(result.duplicates) +
           " stale=" + std::to_string(result.stale) +
           " strangers=" + std::to_string(result.strangers) +
           " malformed=" + std::to_string(result.malformed) +
           " server_errors=" + std::to_string(result.serverErrors) +
           " silent_data=" + std::to_string(result.silentData) +
           " retries=" + std::to_string(result.retries) + " data=" + std::to_string(result.data) +
           " restarts=" + std::to_string(result.restarts) +
           " link_drops=" + std::to_string(result.linkDrops);
}

}  // namespace fk::sim
