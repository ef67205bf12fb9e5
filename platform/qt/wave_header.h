#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace fk::platform {

// Playing time of a RIFF/WAVE file: the frames of its "data" chunk that the file really holds,
// at the sample rate of its "fmt " chunk. head is the start of the file, fileSize the size of
// the whole file: a header may claim more data than follows it (streaming writers leave
// 0xFFFFFFFF there), and a player stops where the bytes end. Nothing when the bytes are not a
// PCM wave file that a sound device could play.
std::optional<std::chrono::milliseconds> WaveDuration(std::span<const std::uint8_t> head,
                                                      std::uint64_t fileSize);

// The same for a file on disk; reads only its chunk headers.
std::optional<std::chrono::milliseconds> WaveFileDuration(const std::string& path);

}  // namespace fk::platform
