#include "platform/qt/wave_header.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace fk::platform {

namespace {

constexpr std::size_t kRiffHeaderSize = 12;
constexpr std::size_t kChunkHeaderSize = 8;
// Within the "fmt " body: format tag, channels, sample rate, byte rate, block align.
constexpr std::size_t kFormatTagOffset = 0;
constexpr std::size_t kSampleRateOffset = 4;
constexpr std::size_t kBlockAlignOffset = 12;
constexpr std::size_t kFmtMinimumSize = 16;
constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kFloat = 3;
constexpr std::uint16_t kExtensible = 0xFFFE;
// Outside this no sound device plays the file; its header alone would set the wait.
constexpr std::uint32_t kMinSampleRate = 1000;
constexpr std::uint32_t kMaxSampleRate = 384000;
// The chunk headers of any sane wave file lie well inside this many bytes.
constexpr std::size_t kHeaderReadLimit = 64 * 1024;

std::uint32_t ReadLe16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8;
}

std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return ReadLe16(bytes, at) | ReadLe16(bytes, at + 2) << 16;
}

bool TagIs(std::span<const std::uint8_t> bytes, std::size_t at, const char (&tag)[5]) {
    return std::equal(tag, tag + 4, bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

struct Format {
    std::uint32_t sampleRate;
    std::uint32_t blockAlign;  // bytes of one frame, all channels
};

std::optional<Format> ReadFormat(std::span<const std::uint8_t> body) {
    const std::uint32_t tag = ReadLe16(body, kFormatTagOffset);
    const Format format{ReadLe32(body, kSampleRateOffset), ReadLe16(body, kBlockAlignOffset)};
    if (tag != kPcm && tag != kFloat && tag != kExtensible) return std::nullopt;
    if (format.sampleRate < kMinSampleRate || format.sampleRate > kMaxSampleRate) {
        return std::nullopt;
    }
    if (format.blockAlign == 0) return std::nullopt;
    return format;
}

}  // namespace

std::optional<std::chrono::milliseconds> WaveDuration(std::span<const std::uint8_t> head,
                                                      std::uint64_t fileSize) {
    if (head.size() < kRiffHeaderSize || !TagIs(head, 0, "RIFF") || !TagIs(head, 8, "WAVE")) {
        return std::nullopt;
    }
    fileSize = std::max<std::uint64_t>(fileSize, head.size());
    std::optional<Format> format;
    std::size_t at = kRiffHeaderSize;
    while (head.size() - at >= kChunkHeaderSize) {
        const std::uint32_t size = ReadLe32(head, at + 4);
        const std::size_t body = at + kChunkHeaderSize;
        if (TagIs(head, at, "fmt ")) {
            if (size < kFmtMinimumSize || head.size() - body < kFmtMinimumSize) break;
            format = ReadFormat(head.subspan(body, kFmtMinimumSize));
            if (!format) return std::nullopt;
        } else if (TagIs(head, at, "data")) {
            if (!format) return std::nullopt;
            const std::uint64_t held = std::min<std::uint64_t>(size, fileSize - body);
            const std::uint64_t frames = held / format->blockAlign;
            // At most 2^32 frames at 1000 a second and up: far inside 64 bits.
            return std::chrono::milliseconds(frames * 1000 / format->sampleRate);
        }
        // Chunks are padded to an even length.
        const std::uint64_t next = std::uint64_t{body} + size + (size & 1u);
        if (next > head.size()) break;
        at = static_cast<std::size_t>(next);
    }
    return std::nullopt;
}

std::optional<std::chrono::milliseconds> WaveFileDuration(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return std::nullopt;
    const auto fileSize = static_cast<std::uint64_t>(std::max<std::streamoff>(file.tellg(), 0));
    file.seekg(0);
    std::vector<std::uint8_t> head(kHeaderReadLimit);
    file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(file.gcount()));
    return WaveDuration(head, fileSize);
}

}  // namespace fk::platform
