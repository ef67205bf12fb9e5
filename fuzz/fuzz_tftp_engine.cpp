// The TFTP engine against whatever a peer may send, and whatever may happen to the image file
// meanwhile. The input is a 4-byte setup and then events, each [tag][length][payload]:
//   tag 0: a datagram (the payload, as received) from the recorder's endpoint
//   tag 1: the same from a stranger's endpoint
//   tag 2: the resend timer fires
//   tag 3: the image file changes: payload[0] picks how, payload[1..3] a new size
// Setup: byte 0 bit 0 picks the data page, bit 1 multiplies the size by 4 (to reach block
// numbers near the 16-bit wrap); bytes 1..3 the image size.
//
// After every event the engine must have sent at most one DATA packet, to the right endpoint,
// 4..516 bytes long, for the block the event asks for, carrying the header block or exactly the
// file's bytes at that block's offset; a repeat of the acknowledgement just answered sends
// nothing; a resend repeats the last packet byte for byte, to where it went; the resends of one
// block stop at the limit, counted afresh only when the recorder confirms a block sent and not
// confirmed before, or asks anew; the upload completes only on the acknowledgement of the final
// block sent; progress stays within 0..100, and 100 only at completion.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_require.h"
#include "support/fake_session.h"
#include "upgrade/tftp_engine.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr fk::platform::Endpoint kRecorder{0xC0A84D64, 2070};
constexpr fk::platform::Endpoint kStranger{0xC0A84D07, 4444};
// Bytes written for real; the rest of a larger image is a hole that reads as zeros.
constexpr std::size_t kWrittenLimit = 4096;

std::uint8_t PatternByte(std::uint64_t offset, std::uint8_t generation) {
    return static_cast<std::uint8_t>(offset * 31 + offset / 509 + generation);
}

// The image file on disk and what its bytes are, so every block can be checked.
class ImageFile {
  public:
    explicit ImageFile(std::string path) : m_path(std::move(path)) {}

    void Write(std::uint64_t size, std::uint8_t generation) {
        Remove();
        m_generation = generation;
        m_written = static_cast<std::size_t>(std::min<std::uint64_t>(size, kWrittenLimit));
        Bytes bytes(m_written);
        for (std::size_t i = 0; i < m_written; ++i) bytes[i] = PatternByte(i, generation);
        const int fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        FUZZ_REQUIRE(fd >= 0);
        FUZZ_REQUIRE(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
        FUZZ_REQUIRE(ftruncate(fd, static_cast<off_t>(size)) == 0);
        close(fd);
        m_size = size;
        m_state = State::File;
    }
    void Truncate(std::uint64_t size) {
        if (m_state != State::File) return;
        FUZZ_REQUIRE(truncate(m_path.c_str(), static_cast<off_t>(size)) == 0);
        m_written = static_cast<std::size_t>(std::min<std::uint64_t>(m_written, size));
        m_size = size;
    }
    void Remove() {
        fs::remove_all(m_path);
        m_state = State::Missing;
    }
    // A directory opens like a file but cannot be read.
    void ReplaceWithDirectory() {
        Remove();
        fs::create_directory(m_path);
        m_state = State::Directory;
    }

    bool Readable() const { return m_state == State::File; }
    std::uint64_t Size() const { return m_size; }
    std::uint8_t At(std::uint64_t offset) const {
        return offset < m_written ? PatternByte(offset, m_generation) : 0;
    }
    // What fstat() says now, as the engine measures it; 0 when it cannot be opened.
    std::uint64_t MeasuredSize() const {
        struct stat info {};
        if (m_state == State::Missing || stat(m_path.c_str(), &info) != 0) return 0;
        return static_cast<std::uint64_t>(info.st_size);
    }

  private:
    enum class State { File, Missing, Directory };
    std::string m_path;
    State m_state = State::Missing;
    std::uint64_t m_size = 0;
    std::size_t m_written = 0;
    std::uint8_t m_generation = 0;
};

// A directory of this run's own, removed when the run ends.
class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        std::string pattern = (fs::temp_directory_path() / "fk-fuzz-tftp-XXXXXX").string();
        FUZZ_REQUIRE(mkdtemp(pattern.data()) != nullptr);
        m_path = pattern;
    }
    ~TemporaryDirectory() { fs::remove_all(m_path); }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

const std::string& WorkDirectory() {
    static const TemporaryDirectory dir;
    return dir.Path();
}

std::uint32_t U32At(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return std::uint32_t{bytes[offset]} << 24 | std::uint32_t{bytes[offset + 1]} << 16 |
           std::uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
}

std::uint64_t SizeFrom(std::span<const std::uint8_t> bytes, bool large) {
    const std::uint64_t size =
        std::uint64_t{bytes[0]} << 16 | std::uint64_t{bytes[1]} << 8 | bytes[2];
    return large ? size * 4 : size;
}

// Everything one run needs, and the checks made after each event.
class Harness {
  public:
    Harness(bool dataPage, std::uint64_t size)
        : m_image(WorkDirectory() + (dataPage ? "/Font.Fnt" : "/FW_2.bin")),
          m_engine(fk::TftpEngine::Links{m_port, m_host, m_bootpRunning, m_tftpRunning,
                                         [this] { ++m_stops; }},
                   std::chrono::milliseconds(3000)) {
        m_host.page = dataPage ? fk::ImagePage::Data : fk::ImagePage::System;
        m_host.sysFileName = "fw_2.bin";
        m_host.sysFilePath = WorkDirectory() + "/FW_2.bin";
        m_host.dataFileName = "font.fnt";
        m_host.dataFilePath = WorkDirectory() + "/Font.Fnt";
        m_image.Write(size, 0);
    }

    bool Running() const { return m_tftpRunning.load(); }

    void Datagram(std::span<const std::uint8_t> datagram, const fk::platform::Endpoint& from) {
        const std::size_t before = m_port.sent.size();
        const int stopsBefore = m_stops;
        const auto kind = fk::ParseTftpOpcode(datagram);
        const bool readRequest = kind == fk::TftpKind::ReadRequest;
        if (readRequest) m_announcedSize = m_image.MeasuredSize();
        const bool wasAccepted = m_engine.TransferAccepted();
        const auto acknowledged = kind == fk::TftpKind::Ack && wasAccepted && from == m_peer
                                      ? fk::AckBlockNumber(datagram)
                                      : std::nullopt;
        m_engine.HandleDatagram(datagram, from);
        FUZZ_REQUIRE(m_port.sent.size() <= before + 1);  // one reply at most
        if (m_stops != stopsBefore) {
            // Completion: the recorder has confirmed the final block, and nothing more goes out.
            FUZZ_REQUIRE(acknowledged && *acknowledged == m_finalBlock);
            FUZZ_REQUIRE(m_port.sent.size() == before);
            return;
        }
        FUZZ_REQUIRE(!acknowledged || *acknowledged != m_finalBlock);
        if (acknowledged) {
            if (*acknowledged == m_answered) {
                FUZZ_REQUIRE(m_port.sent.size() == before);
                return;
            }
            m_answered = *acknowledged;
            if (*acknowledged > m_furthestAck && *acknowledged <= m_furthestSent) {
                m_furthestAck = *acknowledged;
                m_resends = 0;
            }
        }
        if (m_port.sent.size() == before) return;
        const auto& sent = m_port.sent.back();
        FUZZ_REQUIRE(sent.to == from);
        std::uint16_t block = 1;
        if (readRequest) {
            m_peer = from;
            m_answered.reset();
            m_finalBlock.reset();
            m_furthestSent = m_furthestAck = 0;
            m_resends = 0;
        } else {
            // Only the acknowledgement of an accepted transfer, from its requester, is answered.
            FUZZ_REQUIRE(acknowledged.has_value());
            block = static_cast<std::uint16_t>(*acknowledged + 1);
        }
        CheckBlock(sent.bytes, block);
        m_furthestSent = std::max<int>(m_furthestSent, block);
        if (sent.bytes.size() < fk::kTftpMaxDataPacket) m_finalBlock = block;
        m_lastSent = sent.bytes;
        m_lastTo = sent.to;
    }

    // The worker runs the resend handler only while the timer is on.
    void Timer() {
        if (!m_engine.SendTimeOutDue()) return;
        const std::size_t before = m_port.sent.size();
        m_engine.SendTimeOutTimer();
        FUZZ_REQUIRE(m_port.sent.size() <= before + 1);
        if (m_port.sent.size() == before) return;
        ++m_resends;
        FUZZ_REQUIRE(m_resends <= fk::kMaxResends);
        FUZZ_REQUIRE(m_port.sent.back().bytes == m_lastSent);
        FUZZ_REQUIRE(m_port.sent.back().to == m_lastTo);
    }

    void ChangeFile(std::span<const std::uint8_t> payload) {
        if (payload.size() < 4) return;
        const std::uint64_t size = SizeFrom(payload.subspan(1), payload[0] & 0x10);
        switch (payload[0] & 3) {
            case 0:
                m_image.Write(size, payload[0]);
                break;
            case 1:
                m_image.Truncate(size);
                break;
            case 2:
                m_image.Remove();
                break;
            default:
                m_image.ReplaceWithDirectory();
                break;
        }
    }

    void CheckReports() const {
        const auto log = m_host.Log();
        const bool completed = std::find(log.begin(), log.end(), "cue:2") != log.end();
        for (const auto& line : log) {
            if (line.rfind("progress:", 0) != 0) continue;
            const int percent = std::stoi(line.substr(9));
            FUZZ_REQUIRE(percent >= 0 && percent <= (completed ? 100 : 99));
        }
        // The upload is ended once, by the final block or by giving up, never by anything else.
        FUZZ_REQUIRE(m_stops == (m_tftpRunning.load() ? 0 : 1));
    }

  private:
    void CheckBlock(const Bytes& packet, std::uint16_t block) const {
        FUZZ_REQUIRE(packet.size() >= fk::kTftpDataHeaderSize &&
                     packet.size() <= fk::kTftpMaxDataPacket);
        FUZZ_REQUIRE(packet[0] == 0 && packet[1] == 3);
        FUZZ_REQUIRE((packet[2] << 8 | packet[3]) == block);
        const std::span<const std::uint8_t> content(packet.begin() + 4, packet.end());
        if (block == 1) {
            FUZZ_REQUIRE(content.size() == fk::kTftpBlockSize);
            FUZZ_REQUIRE(U32At(content, 0) == 0x20030409 && U32At(content, 4) == 1);
            FUZZ_REQUIRE(U32At(content, 12) == (m_host.page == fk::ImagePage::System ? 1u : 2u));
            FUZZ_REQUIRE(U32At(content, 16) == static_cast<std::uint32_t>(m_announcedSize));
            for (std::size_t i = 20; i < content.size(); ++i) FUZZ_REQUIRE(content[i] == 0);
            FUZZ_REQUIRE(U32At(content, 8) == 0);
            return;
        }
        // Block 0 would lie before the file: it must never be sent.
        FUZZ_REQUIRE(block >= 2 && m_image.Readable());
        const std::uint64_t offset = (std::uint64_t{block} - 2) * fk::kTftpBlockSize;
        FUZZ_REQUIRE(offset <= m_image.Size());
        FUZZ_REQUIRE(content.size() ==
                     std::min<std::uint64_t>(fk::kTftpBlockSize, m_image.Size() - offset));
        for (std::size_t i = 0; i < content.size(); ++i)
            FUZZ_REQUIRE(content[i] == m_image.At(offset + i));
    }

    fk::testing::FakeDatagramPort m_port;
    fk::testing::FakeSessionHost m_host;
    std::atomic<bool> m_bootpRunning{true};
    std::atomic<bool> m_tftpRunning{true};
    int m_stops = 0;
    ImageFile m_image;
    fk::TftpEngine m_engine;
    std::uint64_t m_announcedSize = 0;
    Bytes m_lastSent;
    fk::platform::Endpoint m_lastTo;
    int m_resends = 0;
    // Where the transfer stands, as the recorder's side sees it.
    fk::platform::Endpoint m_peer;
    std::optional<std::uint16_t> m_answered;
    std::optional<std::uint16_t> m_finalBlock;
    int m_furthestSent = 0;
    int m_furthestAck = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    if (input.size() < 4) return 0;
    Harness harness(input[0] & 1, SizeFrom(input.subspan(1), input[0] & 2));
    input = input.subspan(4);
    // The worker stops reading once the upload has ended: so does this loop.
    while (input.size() >= 2 && harness.Running()) {
        const std::uint8_t tag = input[0];
        const std::size_t length = std::min<std::size_t>(input[1], input.size() - 2);
        const auto payload = input.subspan(2, length);
        input = input.subspan(2 + length);
        switch (tag & 3) {
            case 0:
                harness.Datagram(payload, kRecorder);
                break;
            case 1:
                harness.Datagram(payload, kStranger);
                break;
            case 2:
                harness.Timer();
                break;
            default:
                harness.ChangeFile(payload);
                break;
        }
        harness.CheckReports();
    }
    return 0;
}
