#pragma once

#include <cstdint>

namespace fk {

// The percent of an upload shown once the recorder has acknowledged block acknowledgedBlock (the
// header block is 1) of blockTotal (the header block and the image's blocks): the block about to
// go out counts as done, and it stays below 100 until the upload completes, which alone shows
// 100. The window's status line and bar and the terminal's progress show this same figure.
int TransferPercent(std::uint64_t acknowledgedBlock, std::uint64_t blockTotal);

// Whether an acknowledgement of blockNo moves on a transfer whose furthest acknowledged block is
// furthest: only a block sent and not acknowledged before does. A confused recorder's
// acknowledgement of a block never sent is no progress, in the history as on the terminal.
constexpr bool AcknowledgementMovesOn(std::uint64_t blockNo, std::uint64_t furthest,
                                      std::uint64_t blockTotal) {
    return blockNo > furthest && blockNo <= blockTotal;
}

}  // namespace fk
