#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace fk::platform {

// Playing time of a RIFF/WAVE file from its "fmt " and "data" chunks, in milliseconds.
// Nothing when the bytes are not a wave file with a byte rate.
std::optional<int> WaveDurationMs(std::span<const std::uint8_t> bytes);

// The same for a file on disk; reads only its chunk headers.
std::optional<int> WaveFileDurationMs(const std::string& path);

}  // namespace fk::platform
