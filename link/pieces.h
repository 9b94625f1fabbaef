// How a buffer is cut into device writes.  Pure, unit-tested natively.
#pragma once

#include <cstdint>

// Largest single write to the device.
constexpr uint32_t LINK_PIECE_SIZE = 0x3000; // 12,288

// Hands the buffer to write() in consecutive pieces of at most LINK_PIECE_SIZE
// bytes.  A zero length still makes one empty write; an exact multiple of the
// piece size makes no empty write at the end.  Stops at the first piece that
// write() reports as not fully written and returns false; true otherwise.
template <class WriteFn>
bool ForEachLinkPiece(const uint8_t* pBytes, uint32_t length, WriteFn write)
{
    for (;;) {
        uint32_t piece = length > LINK_PIECE_SIZE ? LINK_PIECE_SIZE : length;
        if (!write(pBytes, piece)) return false;
        pBytes += piece;
        length -= piece;
        if (length == 0) return true;
    }
}
