// Times FlashKit's BOOTP announcements as the recorder's card sees them: captures, on one card,
// every IPv4/UDP datagram from port 67 to port 68 that carries a boot reply with FlashKit's
// transaction id "FKT0", for a fixed time, with the kernel's receive time stamps, and prints
// the periods between consecutive replies.
//
// Usage: flashkit-bench-announce [--seconds N] [--period-ms P] CARD
// Output (one line): replies=R median_ms=M p99_dev_ms=D max_dev_ms=X, where the deviations
// are |period - P| (P defaults to 30). Status 1 when fewer than two replies arrived.
//
// The card is the recorder's end of the benchmark's veth pair, which has no address of its own,
// so a packet socket is the only way to see the replies; it only listens.

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Options {
    std::string card;
    double seconds = 10.0;
    double periodMs = 30.0;
};

constexpr std::size_t kBootpXidOffset = 4;
constexpr std::uint8_t kBootReply = 2;
constexpr char kXid[4] = {'F', 'K', 'T', '0'};

// True for an IPv4 packet (no link header) holding UDP 67 -> 68 and a boot reply with our xid.
bool IsAnnouncement(const std::uint8_t* packet, std::size_t length) {
    if (length < 20) return false;
    const std::size_t ipHeader = std::size_t{packet[0] & 0x0Fu} * 4;
    if ((packet[0] >> 4) != 4 || packet[9] != IPPROTO_UDP || length < ipHeader + 8) return false;
    const std::uint8_t* udp = packet + ipHeader;
    const auto port = [](const std::uint8_t* p) { return (p[0] << 8) | p[1]; };
    if (port(udp) != 67 || port(udp + 2) != 68) return false;
    const std::uint8_t* bootp = udp + 8;
    const std::size_t bootpLength = length - ipHeader - 8;
    return bootpLength >= kBootpXidOffset + sizeof kXid && bootp[0] == kBootReply &&
           std::memcmp(bootp + kBootpXidOffset, kXid, sizeof kXid) == 0;
}

double TimestampSeconds(const msghdr& message) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            return static_cast<double>(stamp.tv_sec) + static_cast<double>(stamp.tv_nsec) * 1e-9;
        }
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count();
}

// Receive times of the announcements, in seconds, over the capture time; nothing on a failure.
std::optional<std::vector<double>> Capture(const Options& options) {
    const unsigned ifindex = if_nametoindex(options.card.c_str());
    if (ifindex == 0) {
        std::fprintf(stderr, "flashkit-bench-announce: no card %s\n", options.card.c_str());
        return std::nullopt;
    }
    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd < 0) {
        std::perror("flashkit-bench-announce: socket");
        return std::nullopt;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_IP);
    address.sll_ifindex = static_cast<int>(ifindex);
    const int on = 1;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
        std::perror("flashkit-bench-announce: bind");
        close(fd);
        return std::nullopt;
    }
    std::vector<double> stamps;
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(options.seconds));
    std::uint8_t packet[2048];
    alignas(cmsghdr) char control[256];
    for (;;) {
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= left.zero()) break;
        pollfd ready{fd, POLLIN, 0};
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        if (poll(&ready, 1, static_cast<int>(ms)) <= 0) continue;
        iovec data{packet, sizeof packet};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t length = recvmsg(fd, &message, MSG_DONTWAIT);
        if (length > 0 && message.msg_flags == 0 &&
            IsAnnouncement(packet, static_cast<std::size_t>(length))) {
            stamps.push_back(TimestampSeconds(message));
        }
    }
    close(fd);
    return stamps;
}

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(std::ceil(fraction * values.size())) - 1;
    return values[std::min(index, values.size() - 1)];
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if ((arg == "--seconds" || arg == "--period-ms") && hasValue) {
            char* end = nullptr;
            const double value = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(value > 0) || value > 3600) return std::nullopt;
            (arg == "--seconds" ? options.seconds : options.periodMs) = value;
        } else if (arg.starts_with("--") || !options.card.empty()) {
            return std::nullopt;
        } else {
            options.card = arg;
        }
    }
    if (options.card.empty()) return std::nullopt;
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: flashkit-bench-announce [--seconds N] [--period-ms P] CARD\n");
        return 2;
    }
    const auto stamps = Capture(*options);
    if (!stamps) return 1;
    if (stamps->size() < 2) {
        std::fprintf(stderr, "flashkit-bench-announce: %zu replies captured on %s\n",
                     stamps->size(), options->card.c_str());
        return 1;
    }
    std::vector<double> periods;
    std::vector<double> deviations;
    for (std::size_t i = 1; i < stamps->size(); ++i) {
        const double period = ((*stamps)[i] - (*stamps)[i - 1]) * 1e3;
        periods.push_back(period);
        deviations.push_back(std::fabs(period - options->periodMs));
    }
    std::printf("replies=%zu median_ms=%.4f p99_dev_ms=%.4f max_dev_ms=%.4f\n", stamps->size(),
                Percentile(periods, 0.5), Percentile(deviations, 0.99),
                *std::max_element(deviations.begin(), deviations.end()));
    return 0;
}
