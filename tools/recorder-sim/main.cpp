// A recorder in network-boot mode, for trying and testing FlashKit without the hardware.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "flashkit_version.h"
#include "tools/recorder-sim/bootp_reply.h"
#include "tools/recorder-sim/image_header.h"
#include "tools/recorder-sim/ipv4_udp.h"
#include "tools/recorder-sim/link_linux.h"
#include "tools/recorder-sim/options.h"
#include "tools/recorder-sim/report.h"

namespace fk::sim {
namespace {

constexpr int kExitOk = 0, kExitWrong = 1, kExitUsage = 2, kExitSystem = 3, kExitTimedOut = 4;
constexpr std::uint16_t kBootpClientPort = 68;
constexpr MacAddress kRecorderPrefix{0x02, 0x5E, 0xA1, 0, 0, 0};
constexpr std::uint16_t kBootpServerPort = 67;
constexpr auto kAskAgainAfter = std::chrono::milliseconds(500);

int Fail(int code, const std::string& message) {
    std::cerr << "flashkit-recorder-sim: " << message << std::endl;
    return code;
}

void Say(const std::string& line) {
    std::cout << line << std::endl;
}

struct Announcement {
    unsigned accepted = 0;
    BootpOffer offer;
    MacAddress server{};  // the sender of the last accepted reply
    IgnoredReplies ignored;
};

// Any xid but the announced one, so that an announcement never passes for an answer.
Xid RandomXid() {
    std::random_device source;
    std::uniform_int_distribution<unsigned> octet(0, 255);
    Xid xid{};
    do {
        for (auto& each : xid) each = static_cast<std::uint8_t>(octet(source));
    } while (xid == kAnnouncedXid);
    return xid;
}

// Listens for replies until `count` were accepted or the deadline passes; with --ask, asks for
// them meanwhile.
int ListenForReplies(const Options& options, const LinkFacts& link, Clock::time_point deadline,
                     Announcement& announcement) {
    std::string error;
    PacketSocket socket;
    if (!socket.Open(link.index, error)) return Fail(kExitSystem, error);
    const Xid xid = options.ask ? RandomXid() : kAnnouncedXid;
    const auto request = BuildIpv4Udp(0, 0xFFFFFFFF, kBootpClientPort, kBootpServerPort,
                                      BuildBootpRequest(link.mac, xid));
    auto nextRequest = Clock::now();
    std::ofstream periodLog;
    if (!options.periodLog.empty()) {
        periodLog.open(options.periodLog, std::ios::trunc);
        if (!periodLog) return Fail(kExitSystem, "cannot write " + options.periodLog);
    }
    while (announcement.accepted < options.count && Clock::now() < deadline) {
        auto until = deadline;
        if (options.ask) {
            if (Clock::now() >= nextRequest) {
                if (!socket.Broadcast(request, error)) return Fail(kExitSystem, error);
                nextRequest = Clock::now() + kAskAgainAfter;
            }
            until = std::min(until, nextRequest);
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
            std::max(until - Clock::now(), Clock::duration::zero()));
        std::optional<std::vector<std::uint8_t>> packet;
        MacAddress source{};
        if (!socket.Receive(wait, packet, source))
            return Fail(kExitSystem, "packet socket receive failed");
        if (!packet) continue;
        const auto arrived = Clock::now();
        const auto udp = ParseIpv4Udp(*packet);
        if (!udp || udp->destinationPort != kBootpClientPort) continue;
        const auto inspection = InspectBootpReply(udp->payload, link.mac, xid);
        if (inspection.verdict != BootpVerdict::Accepted) {
            announcement.ignored.Count(inspection.verdict);
            continue;
        }
        ++announcement.accepted;
        announcement.offer = inspection.offer;
        announcement.server = source;
        if (periodLog.is_open())
            periodLog << std::chrono::duration_cast<std::chrono::microseconds>(
                             arrived.time_since_epoch())
                             .count()
                      << std::endl;
    }
    if (announcement.accepted < options.count) {
        Say(FormatIgnoredLine(announcement.ignored));
        return Fail(kExitTimedOut, "timed out after " + std::to_string(announcement.accepted) +
                                       " of " + std::to_string(options.count) +
                                       " accepted BOOTP replies");
    }
    Say(FormatBootpLine(announcement.accepted, announcement.offer));
    Say(FormatIgnoredLine(announcement.ignored));
    return kExitOk;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

int FetchOffered(const Options& options, const Announcement& announcement, SilentArp* silentArp,
                 Clock::time_point deadline) {
    BootpOffer offer = announcement.offer;
    if (options.plainServer != 0) {
        offer.yourAddress = options.plainAddress;
        offer.serverAddress = options.plainServer;
        offer.fileName = options.plainFile;
    }
    const AddressAssignment address(options.interface, offer.yourAddress);
    if (!address.Added())
        return Fail(kExitSystem, "cannot give " + options.interface + " the address " +
                                     FormatDottedQuad(offer.yourAddress) + "/24");
    if (silentArp && !silentArp->FixServer(offer.serverAddress, announcement.server))
        return Fail(kExitSystem, "cannot fix the server's neighbour entry on " + options.interface);
    std::string error;
    UdpTransport transport(options.interface, silentArp, options.plainServer != 0);
    if (!transport.Open(offer.serverAddress, error)) return Fail(kExitSystem, error);

    FetchPlan plan;
    plan.fileName = offer.fileName;
    plan.misbehaviour = options.misbehaviour;
    plan.retryAfter = options.retryAfter;
    const auto result = FetchFile(transport, plan, deadline);
    Say(FormatTftpLine(result));
    if (!options.output.empty() && !WriteFile(options.output, result.received))
        return Fail(kExitSystem, "cannot write " + options.output);

    switch (result.status) {
        case FetchStatus::Stopped:
            return kExitOk;
        case FetchStatus::TimedOut:
            return Fail(kExitTimedOut, result.message);
        case FetchStatus::Failed:
            return Fail(kExitWrong, result.message);
        case FetchStatus::Complete:
            break;
    }
    const Bytes received(result.received);
    const auto header = received.first(std::min(received.size(), kHeaderBlockSize));
    const auto problem =
        FindHeaderProblem(header, options.expectKind, received.size() - header.size());
    return problem ? Fail(kExitWrong, *problem) : kExitOk;
}

int Run(const std::vector<std::string>& arguments) {
    const auto parsed = ParseOptions(arguments);
    if (parsed.help) {
        std::cout << kHelpText;
        return kExitOk;
    }
    if (parsed.version) {
        std::cout << "flashkit-recorder-sim " << FLASHKIT_VERSION << "\n";
        return kExitOk;
    }
    if (!parsed.options) return Fail(kExitUsage, parsed.error + " (see --help)");
    const auto& options = *parsed.options;
    const auto deadline = Clock::now() + options.timeout;

    std::string error;
    const auto link = ReadLink(options.interface, error);
    if (!link) return Fail(kExitSystem, error);
    if (!std::equal(kRecorderPrefix.begin(), kRecorderPrefix.begin() + 3, link->mac.begin()))
        return Fail(kExitSystem, options.interface +
                                     " does not carry a recorder MAC address "
                                     "(02:5e:a1:xx:yy:zz)");
    if (link->hasIpv4)
        return Fail(kExitSystem, options.interface +
                                     " already has an IPv4 address; a booting recorder has none");

    std::optional<SilentArp> silentArp;
    if (options.silentArp && !silentArp.emplace(options.interface).Active())
        return Fail(kExitSystem, "cannot stop " + options.interface + " answering ARP requests");
    Announcement announcement;
    if (options.plainServer != 0) return FetchOffered(options, announcement, nullptr, deadline);
    if (const int code = ListenForReplies(options, *link, deadline, announcement); code != kExitOk)
        return code;
    return options.fetch
               ? FetchOffered(options, announcement, silentArp ? &*silentArp : nullptr, deadline)
               : kExitOk;
}

}  // namespace
}  // namespace fk::sim

int main(int argc, char** argv) {
    return fk::sim::Run(std::vector<std::string>(argv + 1, argv + argc));
}
