#include "tools/recorder-sim/image_header.h"

#include <algorithm>

namespace fk::sim {

namespace {
constexpr std::size_t kMagic = 0, kVersion = 4, kReserved = 8, kKind = 12, kSize = 16, kPad = 20;

std::string Hex(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xF];
    return text;
}
}  // namespace

std::optional<ImageHeader> ReadImageHeader(Bytes headerBlock) {
    if (headerBlock.size() != kHeaderBlockSize) return std::nullopt;
    return ImageHeader{ReadU32(headerBlock, kKind), ReadU32(headerBlock, kSize)};
}

std::optional<std::string> FindHeaderProblem(Bytes headerBlock, std::uint32_t expectedKind,
                                             std::uint64_t payloadLength) {
    if (headerBlock.size() != kHeaderBlockSize)
        return "header block has " + std::to_string(headerBlock.size()) + " bytes, expected " +
               std::to_string(kHeaderBlockSize);
    if (ReadU32(headerBlock, kMagic) != kHeaderMagic)
        return "header magic is " + Hex(ReadU32(headerBlock, kMagic)) + ", expected " +
               Hex(kHeaderMagic);
    if (ReadU32(headerBlock, kVersion) != 1 || ReadU32(headerBlock, kReserved) != 0)
        return "header words 1 and 2 are " + Hex(ReadU32(headerBlock, kVersion)) + " and " +
               Hex(ReadU32(headerBlock, kReserved)) + ", expected 0x00000001 and 0x00000000";
    const auto kind = ReadU32(headerBlock, kKind);
    if (kind != kKindSystem && kind != kKindData)
        return "header kind is " + std::to_string(kind) + ", expected 1 (system) or 2 (data)";
    if (expectedKind != 0 && kind != expectedKind)
        return "header kind is " + std::to_string(kind) + ", expected " +
               std::to_string(expectedKind);
    const auto size = ReadU32(headerBlock, kSize);
    if (size != payloadLength)
        return "header announces " + std::to_string(size) + " bytes, " +
               std::to_string(payloadLength) + " bytes followed it";
    const auto pad = headerBlock.subspan(kPad);
    if (std::any_of(pad.begin(), pad.end(), [](std::uint8_t b) { return b != 0; }))
        return "header bytes 20 to 511 are not all zero";
    return std::nullopt;
}

}  // namespace fk::sim
