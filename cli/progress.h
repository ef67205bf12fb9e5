#pragma once

// How the terminal front end follows and shows a transfer's progress: the pure parts, so they can
// be tested without a terminal.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace fk::cli {

// A terminal line is redrawn no more often than this.
inline constexpr std::chrono::milliseconds kRedrawInterval{100};

struct ProgressSnapshot {
    std::uint64_t bytes = 0;               // image bytes the recorder has acknowledged
    std::uint64_t total = 0;               // image size
    std::chrono::milliseconds elapsed{0};  // since the recorder asked
    int percent = 0;                       // the window's percent (TransferPercent), 100 at the end
};

// Image bytes acknowledged once block blockNo (the header block is 1) is, for an image of size.
std::uint64_t AcknowledgedBytes(std::uint64_t blockNo, std::uint64_t size);

// Bytes per second over the elapsed time; nothing before any time has passed.
std::optional<double> Rate(const ProgressSnapshot& progress);

// "1023 B", "1.5 KiB", "3.0 MiB".
std::string FormatBytes(double bytes);

// The line redrawn on a terminal, e.g.
// "[##########          ]  50%  512.0 KiB / 1.0 MiB  256.0 KiB/s  0:02 left"; rate and time left
// read "--" until they are known. barWidth counts the characters between the brackets.
std::string FormatProgressLine(const ProgressSnapshot& progress, int barWidth = 24);

// The tenth (0 to 10) of the percent; the plain output writes one line per tenth.
int TenthDone(const ProgressSnapshot& progress);

// One transfer's progress as its recorder acknowledges blocks.
class TransferProgress {
  public:
    using Clock = std::chrono::steady_clock;

    // The recorder asked for an image of size bytes: a new transfer.
    void Begin(std::uint64_t size, Clock::time_point now);
    // Only a block sent and not acknowledged before moves the transfer on: whether this did.
    bool Acknowledge(std::uint64_t blockNo);
    void Resent(std::uint64_t blocks) { m_resends += blocks; }
    // The transfer ended; a completed one has every byte acknowledged, and 100 percent.
    void End(bool completed, Clock::time_point now);

    bool Begun() const { return m_begunAt != Clock::time_point{}; }
    std::uint64_t Size() const { return m_size; }
    std::uint64_t Resends() const { return m_resends; }
    // Its time runs from Begin until End.
    ProgressSnapshot Snapshot(Clock::time_point now) const;

  private:
    std::uint64_t m_size = 0;
    std::uint64_t m_blockTotal = 0;  // the header block and the image's
    std::uint64_t m_furthestAck = 0;
    std::uint64_t m_resends = 0;
    Clock::time_point m_begunAt;
    std::optional<Clock::time_point> m_endedAt;
    bool m_completed = false;
};

}  // namespace fk::cli
