#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace fk {

// The last four bytes of a system image: two unexamined, the series code, the sub-code.
using ImageTrailer = std::array<std::uint8_t, 4>;

// Whether an image with this trailer is built for the recorder whose MAC octets 3 to 5 these are.
bool ImageFitsRecorder(const ImageTrailer& trailer, std::uint8_t octet3, std::uint8_t octet4,
                       std::uint8_t octet5);

// Whether the image is built for any recorder family at all: a system image that no recorder
// can take is no system image.
bool ImageFitsAnyRecorder(const ImageTrailer& trailer);

enum class TrailerFailure { None, Open, Seek, Read };

struct TrailerReadResult {
    TrailerFailure failure = TrailerFailure::None;
    int errorCode = 0;  // errno of the failed step
    ImageTrailer trailer{};
};

// Reads the trailer of the file at path; the file is closed again on every path.
TrailerReadResult ReadImageTrailer(const std::string& path);

}  // namespace fk
