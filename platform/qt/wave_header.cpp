#include "platform/qt/wave_header.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace fk::platform {

namespace {

constexpr std::size_t kRiffHeaderSize = 12;
constexpr std::size_t kChunkHeaderSize = 8;
constexpr std::size_t kByteRateOffset = 8;  // within the "fmt " body
// The chunk headers of any sane wave file lie well inside this many bytes.
constexpr std::size_t kHeaderReadLimit = 64 * 1024;

std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
           std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

bool TagIs(std::span<const std::uint8_t> bytes, std::size_t at, const char (&tag)[5]) {
    return std::equal(tag, tag + 4, bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace

std::optional<int> WaveDurationMs(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kRiffHeaderSize || !TagIs(bytes, 0, "RIFF") || !TagIs(bytes, 8, "WAVE")) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> byteRate;
    std::size_t at = kRiffHeaderSize;
    while (bytes.size() - at >= kChunkHeaderSize) {
        const std::uint32_t size = ReadLe32(bytes, at + 4);
        const std::size_t body = at + kChunkHeaderSize;
        if (TagIs(bytes, at, "fmt ")) {
            if (size < kByteRateOffset + 4 || bytes.size() - body < kByteRateOffset + 4) break;
            byteRate = ReadLe32(bytes, body + kByteRateOffset);
        } else if (TagIs(bytes, at, "data")) {
            if (!byteRate || *byteRate == 0) return std::nullopt;
            return static_cast<int>(std::uint64_t{size} * 1000 / *byteRate);
        }
        // Chunks are padded to an even length.
        const std::uint64_t next = std::uint64_t{body} + size + (size & 1u);
        if (next > bytes.size()) break;
        at = static_cast<std::size_t>(next);
    }
    return std::nullopt;
}

std::optional<int> WaveFileDurationMs(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::vector<std::uint8_t> head(kHeaderReadLimit);
    file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(file.gcount()));
    return WaveDurationMs(head);
}

}  // namespace fk::platform
