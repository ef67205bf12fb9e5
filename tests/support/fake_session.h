#pragma once

// Stand-ins for the session's window and transport: a host that records every report in order,
// and an in-memory datagram port with a scripted inbox.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/neighbour_table.h"
#include "platform/udp_socket.h"
#include "upgrade/device_arp.h"
#include "upgrade/session_host.h"

namespace fk::testing {

// Every report becomes one line of the log: "status:<text>", "progress:<n>", "cue:<n>",
// "box:<text>|<caption>", "ended". Reads come from the public fields, set before a session runs
// (the card may also change while it runs).
class FakeSessionHost final : public SessionHost {
  public:
    ImagePage ActivePage() const override { return page; }
    std::string BootFileName(ImagePage p) const override {
        return p == ImagePage::System ? sysFileName : dataFileName;
    }
    std::string ImagePath(ImagePage p) const override {
        return p == ImagePage::System ? sysFilePath : dataFilePath;
    }
    SelectedCard Card() const override { return card.load(); }
    MacAddress DeviceMac() const override { return mac; }

    void ShowStatus(const std::string& text) override { Record("status:" + text); }
    void SetProgress(int percent) override { Record("progress:" + std::to_string(percent)); }
    void PlayCue(int cue) override { Record("cue:" + std::to_string(cue)); }
    void ShowMessage(const std::string& text, const std::string& caption,
                     platform::MessageIcon) override {
        Record("box:" + text + "|" + caption);
    }
    void SessionEnded() override { Record("ended"); }

    std::vector<std::string> Log() const {
        std::lock_guard lock(m_mutex);
        return m_log;
    }
    std::size_t Count(const std::string& line) const {
        std::lock_guard lock(m_mutex);
        std::size_t count = 0;
        for (const auto& entry : m_log) count += entry == line;
        return count;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_log.clear();
    }

    ImagePage page = ImagePage::System;
    std::string sysFileName, sysFilePath, dataFileName, dataFilePath;
    std::atomic<SelectedCard> card{SelectedCard{0, 1}};  // may change while a session runs
    MacAddress mac{0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C};

  private:
    void Record(std::string line) {
        std::lock_guard lock(m_mutex);
        m_log.push_back(std::move(line));
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_log;
};

// Sends are recorded (or refused); receives come from a script. With an empty script a receive
// waits for its deadline, and without one it reports a stop, so no test can hang on it.
class FakeDatagramPort final : public platform::DatagramPort {
  public:
    struct Sent {
        std::vector<std::uint8_t> bytes;
        platform::Endpoint to;
    };

    platform::SendResult SendTo(std::span<const std::uint8_t> datagram,
                                const platform::Endpoint& to) override {
        std::lock_guard lock(m_mutex);
        if (refuseSends) return {-1, 101};
        sent.push_back({{datagram.begin(), datagram.end()}, to});
        return {static_cast<std::ptrdiff_t>(datagram.size()), 0};
    }
    platform::ReceiveResult Receive(std::span<std::uint8_t> buffer,
                                    std::optional<Clock::time_point> deadline) override {
        std::unique_lock lock(m_mutex);
        platform::ReceiveResult result;
        if (!inbox.empty()) {
            result = inbox.front();
            inbox.pop_front();
            if (result.status == platform::ReceiveResult::Status::Datagram) {
                const auto& bytes = payloads.front();
                result.length = std::min(bytes.size(), buffer.size());
                std::copy_n(bytes.begin(), result.length, buffer.begin());
                payloads.pop_front();
            }
            return result;
        }
        if (!deadline || m_closed) {
            result.status = platform::ReceiveResult::Status::Stopped;
            return result;
        }
        m_wake.wait_until(lock, *deadline, [&] { return m_closed; });
        result.status = m_closed ? platform::ReceiveResult::Status::Stopped
                                 : platform::ReceiveResult::Status::TimedOut;
        return result;
    }
    bool WaitForStop(Clock::time_point deadline) override {
        std::unique_lock lock(m_mutex);
        return m_wake.wait_until(lock, deadline, [&] { return m_closed; });
    }
    bool Close() override {
        std::lock_guard lock(m_mutex);
        if (m_closed) return false;
        m_closed = true;
        m_wake.notify_all();
        return true;
    }

    void Deliver(std::vector<std::uint8_t> bytes, platform::Endpoint from = {0x7F000001, 1234}) {
        std::lock_guard lock(m_mutex);
        platform::ReceiveResult result;
        result.status = platform::ReceiveResult::Status::Datagram;
        result.from = from;
        inbox.push_back(result);
        payloads.push_back(std::move(bytes));
    }
    void DeliverFailure(int error) {
        std::lock_guard lock(m_mutex);
        platform::ReceiveResult result;
        result.status = platform::ReceiveResult::Status::Failed;
        result.error = error;
        inbox.push_back(result);
    }

    bool refuseSends = false;
    std::vector<Sent> sent;
    std::deque<platform::ReceiveResult> inbox;
    std::deque<std::vector<std::uint8_t>> payloads;

  private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_closed = false;
};

// The session's ARP entry bound straight to a neighbour table; failures are silent.
class NeighbourArp final : public DeviceArp {
  public:
    explicit NeighbourArp(platform::NeighbourTable& table) : m_table(table) {}
    void SetDeviceArpEntry(int ifindex, Ipv4 address, const MacAddress& mac, bool add) override {
        if (add) {
            m_table.Add(ifindex, address, mac);
        } else {
            m_table.Remove(ifindex, address);
        }
    }
    void ResetErrorReport() override {}

  private:
    platform::NeighbourTable& m_table;
};

}  // namespace fk::testing
