#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fk {

// The BOOTP file field holds 128 bytes and must end with a zero for the recorder to read it.
inline constexpr std::size_t kMaxBootFileNameLength = 127;
// Block numbers are 16 bits and block 1 is the header: the last block that can be served is
// 65535, and it must be short.
inline constexpr std::uint64_t kMaxImageSize = 65534ull * 512 - 1;

inline constexpr const char* kUploadCheckCaption = "Image file error";

// Checks the window makes at Upload, before any socket opens. Each gives the text of the box
// that refuses the upload, or nothing when the upload may go on.
std::optional<std::string> CheckBootFileName(std::string_view bootFileName);
std::optional<std::string> CheckImageSize(std::uint64_t imageSize);

}  // namespace fk
