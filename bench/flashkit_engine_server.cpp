// FlashKit's upload engine alone, without the window: the benchmark's "engine" server. It runs
// the real upload session (BOOTP announcer and TFTP server on ports 67 and 69) for a recorder on
// one card, with a host that keeps its reports to itself, and starts a new upload each time one
// completes, so the server answers transfer after transfer as the window would after each press.
//
// Usage: flashkit-bench-engine [--card NAME] [--mac XX:XX:XX:XX:XX:XX] [--idle-exit SECONDS] IMAGE
// The card (default fkbench0) gives the host address and the ARP entry's interface; the recorder
// MAC defaults to the benchmark's fkbench1. IMAGE is served as the boot file named by its base
// name, as a system image (header kind 1). The server ends by itself after --idle-exit seconds
// (default 60) without a completed transfer, on SIGTERM or SIGINT, and with status 1 when an
// upload reports an error.
//
// Only ever run inside a private network namespace: the engine announces to the recorder's
// address on the card every 30 ms.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "feedback/operator_feedback.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "upgrade/device_arp.h"
#include "upgrade/session_host.h"
#include "upgrade/upload_station.h"

namespace {

struct Options {
    std::string card = "fkbench0";
    fk::MacAddress mac{0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C};
    int idleExitSeconds = 60;
    std::string imagePath;
};

std::atomic<bool> g_stopRequested{false};

void RequestStop(int) {
    g_stopRequested.store(true);
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// The card's first IPv4 address, host byte order.
std::optional<fk::Ipv4> CardAddress(const std::string& card) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<fk::Ipv4> found;
    for (const ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET && card == entry->ifa_name) {
            found = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        }
    }
    freeifaddrs(list);
    return found;
}

// The window's part as the session sees it, minus the window: events that are only looked at
// for errors and for the end of an upload.
class BenchHost final : public fk::SessionHost {
  public:
    void OnEvent(const fk::SessionEvent& event) override {
        const auto feedback = fk::FeedbackFor(event);
        if (feedback.box) Fail(feedback.box->text);
        if (feedback.status && Lower(*feedback.status).find("error") != std::string::npos) {
            Fail(*feedback.status);
        }
        if (feedback.idle) {
            std::lock_guard lock(m_mutex);
            ++m_ended;
            m_changed.notify_all();
        }
    }

    // Waits until `ended` uploads have ended, an error was reported or a stop was asked for;
    // false on a timeout.
    bool WaitForEnd(int ended, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(m_mutex);
        while (m_ended < ended && m_error.empty() && !g_stopRequested.load()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            // Short waits: a signal handler cannot notify the condition.
            m_changed.wait_for(lock, std::chrono::milliseconds(100));
        }
        return true;
    }

    std::string Error() const {
        std::lock_guard lock(m_mutex);
        return m_error;
    }

  private:
    void Fail(const std::string& text) {
        std::lock_guard lock(m_mutex);
        if (m_error.empty()) m_error = text;
        m_changed.notify_all();
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_ended = 0;
    std::string m_error;
};

// The recorder's neighbour entry on the card, as the window keeps it; failures are silent.
class BenchArp final : public fk::DeviceArp {
  public:
    explicit BenchArp(fk::platform::NeighbourTable& table) : m_table(table) {}
    int SetDeviceArpEntry(int ifindex, fk::Ipv4 address, const fk::MacAddress& mac,
                          bool add) override {
        return (add ? m_table.Add(ifindex, address, mac) : m_table.Remove(ifindex, address)).error;
    }
    void ResetErrorReport() override {}

  private:
    fk::platform::NeighbourTable& m_table;
};

std::optional<fk::MacAddress> ParseMac(std::string_view text) {
    fk::MacAddress mac{};
    unsigned octets[6];
    char tail = 0;
    if (std::sscanf(std::string(text).c_str(), "%x:%x:%x:%x:%x:%x%c", &octets[0], &octets[1],
                    &octets[2], &octets[3], &octets[4], &octets[5], &tail) != 6) {
        return std::nullopt;
    }
    for (int i = 0; i < 6; ++i) {
        if (octets[i] > 0xFF) return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(octets[i]);
    }
    return mac;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--card" && hasValue) {
            options.card = argv[++i];
        } else if (arg == "--mac" && hasValue) {
            const auto mac = ParseMac(argv[++i]);
            if (!mac) return std::nullopt;
            options.mac = *mac;
        } else if (arg == "--idle-exit" && hasValue) {
            char* end = nullptr;
            const long seconds = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || seconds < 1 || seconds > 3600) return std::nullopt;
            options.idleExitSeconds = static_cast<int>(seconds);
        } else if (arg.starts_with("--") || !options.imagePath.empty()) {
            return std::nullopt;
        } else {
            options.imagePath = arg;
        }
    }
    if (options.imagePath.empty()) return std::nullopt;
    return options;
}

int Serve(const Options& options) {
    const int ifindex = static_cast<int>(if_nametoindex(options.card.c_str()));
    const auto hostAddress = CardAddress(options.card);
    if (ifindex == 0 || !hostAddress) {
        std::fprintf(stderr, "flashkit-bench-engine: card %s has no IPv4 address\n",
                     options.card.c_str());
        return 1;
    }
    const fk::SelectedCard card{*hostAddress, ifindex};
    BenchHost host;
    const auto table = fk::platform::MakeSystemNeighbourTable();
    const auto cards = fk::platform::MakeSystemAdapterSource();
    BenchArp arp(*table);
    fk::UploadStation session(host, arp, fk::platform::SystemPortOpener(), *cards);
    const fk::UploadPlan plan{
        {fk::ImagePage::System,
         Lower(options.imagePath.substr(options.imagePath.find_last_of('/') + 1)),
         options.imagePath},
        options.mac,
        card,
        0};
    int status = 0;
    for (int upload = 1; !g_stopRequested.load(); ++upload) {
        session.StartUpload(plan);
        if (!host.WaitForEnd(upload, std::chrono::seconds(options.idleExitSeconds))) break;
        if (const auto error = host.Error(); !error.empty()) {
            std::fprintf(stderr, "flashkit-bench-engine: %s\n", error.c_str());
            status = 1;
            break;
        }
    }
    session.Shutdown();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: flashkit-bench-engine [--card NAME] [--mac XX:XX:XX:XX:XX:XX] "
                     "[--idle-exit SECONDS] IMAGE\n");
        return 2;
    }
    std::signal(SIGTERM, RequestStop);
    std::signal(SIGINT, RequestStop);
    return Serve(*options);
}
