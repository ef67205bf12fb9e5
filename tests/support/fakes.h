#pragma once

// Scriptable stand-ins for the platform facilities, shared by the window and session tests.

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "platform/neighbour_table.h"
#include "platform/sound.h"

namespace fk::testing {

struct ShownMessage {
    std::string text;
    std::string caption;
    platform::MessageIcon icon;
    platform::MessageButtons buttons;
};

// Records every box; answers Yes/No questions from a script (No once the script runs out).
class FakeMessageBoxes final : public platform::MessageBoxes {
  public:
    platform::MessageAnswer Show(const std::string& text, const std::string& caption,
                                 platform::MessageIcon icon,
                                 platform::MessageButtons buttons) override {
        std::lock_guard lock(m_mutex);
        shown.push_back({text, caption, icon, buttons});
        if (buttons == platform::MessageButtons::Ok) return platform::MessageAnswer::Ok;
        if (answers.empty()) return platform::MessageAnswer::No;
        const auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::vector<ShownMessage> Shown() {
        std::lock_guard lock(m_mutex);
        return shown;
    }

    std::deque<platform::MessageAnswer> answers;
    std::vector<ShownMessage> shown;

  private:
    std::mutex m_mutex;
};

// Records every request; returns scripted choices (cancel once the script runs out).
class FakeFileDialogs final : public platform::FileDialogs {
  public:
    std::optional<std::string> GetOpenFileName(const platform::OpenFileRequest& request) override {
        requests.push_back(request);
        if (choices.empty()) return std::nullopt;
        auto choice = choices.front();
        choices.pop_front();
        return choice;
    }

    std::deque<std::optional<std::string>> choices;
    std::vector<platform::OpenFileRequest> requests;
};

// Records what would be heard, in order, without waiting.
class FakeSound final : public platform::SoundOutput {
  public:
    struct Played {
        enum class Kind { WaveAsync, WaveSync, Tone, ToneAsync, Silence } kind;
        std::string path;
        int frequencyHz = 0;
        int durationMs = 0;
        bool operator==(const Played&) const = default;
    };

    void PlayWaveAsync(const std::string& path) override {
        Record({Played::Kind::WaveAsync, path});
    }
    void PlayTonesAsync(std::span<const platform::ToneStep> tones) override {
        for (const auto& tone : tones) {
            Record({Played::Kind::ToneAsync, {}, tone.frequencyHz, tone.durationMs});
        }
    }
    void PlayWaveSync(const std::string& path, std::stop_token) override {
        Record({Played::Kind::WaveSync, path});
        std::this_thread::sleep_for(blockingCall);
    }
    void Tone(int frequencyHz, int durationMs, std::stop_token) override {
        Record({Played::Kind::Tone, {}, frequencyHz, durationMs});
        std::this_thread::sleep_for(blockingCall);
    }
    void Silence() override { Record({Played::Kind::Silence, {}}); }
    std::vector<Played> Log() {
        std::lock_guard lock(m_mutex);
        return m_log;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_log.clear();
    }

  private:
    void Record(Played played) {
        std::lock_guard lock(m_mutex);
        m_log.push_back(std::move(played));
    }
    std::mutex m_mutex;
    std::vector<Played> m_log;

  public:
    // How long a call that may wait holds its caller, whatever asks it to stop: a sound device
    // that hangs.
    std::chrono::milliseconds blockingCall{0};
};

// An in-memory neighbour table; can be told to refuse every change.
class FakeNeighbourTable final : public platform::NeighbourTable {
  public:
    struct Entry {
        int ifindex;
        std::uint32_t address;
        std::array<std::uint8_t, 6> mac;
    };
    struct Call {
        bool add;
        int ifindex;
        std::uint32_t address;
    };

    platform::NeighbourResult Add(int ifindex, std::uint32_t address,
                                  const std::array<std::uint8_t, 6>& mac) override {
        std::lock_guard lock(m_mutex);
        calls.push_back({true, ifindex, address});
        if (refuse) return {false, addRefusal, std::strerror(addRefusal)};
        if (held.contains(address)) return {false, EADDRINUSE, std::strerror(EADDRINUSE)};
        const bool fresh = std::none_of(entries.begin(), entries.end(), [&](const Entry& e) {
            return e.ifindex == ifindex && e.address == address;
        });
        if (fresh && ++asked[address] <= probeAsks)
            return {false, EINPROGRESS, std::strerror(EINPROGRESS)};
        asked.erase(address);
        std::erase_if(entries,
                      [&](const Entry& e) { return e.ifindex == ifindex && e.address == address; });
        entries.push_back({ifindex, address, mac});
        return {};
    }
    std::vector<platform::NeighbourResult> AddAll(int ifindex,
                                                  std::span<const Wanted> wanted) override {
        {
            std::lock_guard lock(m_mutex);
            batches.push_back(wanted.size());
        }
        return NeighbourTable::AddAll(ifindex, wanted);
    }
    platform::NeighbourResult Remove(int ifindex, std::uint32_t address) override {
        std::lock_guard lock(m_mutex);
        calls.push_back({false, ifindex, address});
        const auto removed = std::erase_if(
            entries, [&](const Entry& e) { return e.ifindex == ifindex && e.address == address; });
        if (refuse) return {false, 1, "Operation not permitted"};
        if (removed == 0) return {false, 2, "No such file or directory"};
        return {};
    }
    std::optional<platform::NeighbourEntry> Find(int ifindex, std::uint32_t address) override {
        std::lock_guard lock(m_mutex);
        for (const Entry& e : entries) {
            if (e.ifindex == ifindex && e.address == address)
                return platform::NeighbourEntry{e.mac};
        }
        return std::nullopt;
    }
    std::vector<Entry> Entries() {
        std::lock_guard lock(m_mutex);
        return entries;
    }
    std::vector<Call> Calls() {
        std::lock_guard lock(m_mutex);
        return calls;
    }
    std::vector<std::size_t> Batches() {
        std::lock_guard lock(m_mutex);
        return batches;
    }

    bool refuse = false;
    int addRefusal = 1;            // EPERM; EADDRINUSE as for an address another device holds
    std::set<std::uint32_t> held;  // addresses another device answers for: adds refused
    // Adds of an address without an entry answer EINPROGRESS this often first, as while a probe
    // of the address waits for the wire.
    int probeAsks = 0;
    std::map<std::uint32_t, int> asked;
    std::vector<Entry> entries;
    std::vector<Call> calls;
    std::vector<std::size_t> batches;  // the sizes of the adds asked together

  private:
    std::mutex m_mutex;
};

}  // namespace fk::testing
