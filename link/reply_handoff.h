// How a reply crosses from the reader to the worker, free of Windows so that
// it is tested natively under load as well.
//
// The reader publishes each pair in this order:
//   (1) a ROM-size code into the latch, (2) byte 1, (3) byte 0.
// The worker takes one snapshot per look in this order:
//   (a) byte 0, (b) byte 1, (c) byte 2, (d) the latch.
// Every access is sequentially consistent.  A worker that sees at (a) the
// byte 0 of some pair therefore sees at (b) that pair's byte 1 (stored
// before it) or a later one, and at (d) every latch stored before that pair:
// a ROM-size reply that a block request overwrote in bytes 0 and 1 is in the
// same snapshot as that request, so no decision can act on the request alone.
// Reading the latch first, as a worker pre-empted between two loads could,
// would miss it.
#pragma once

#include <atomic>
#include <cstdint>

#include "flash/protocol.h"

// Reader: stores one pair at pSlot, latching it first if it is a ROM-size reply.
inline void PublishReplyPair(std::atomic<uint8_t>* pSlot, std::atomic<uint8_t>& latch,
                             const uint8_t* pPair)
{
    if (RomReplyMegabytes(pPair[0], pPair[1]) != 0) latch.store(pPair[0]);
    pSlot[1].store(pPair[1]);
    pSlot[0].store(pPair[0]);
}

// Worker: one look at bytes 0 to 2 of the buffer and the latch, in that order.
inline ReplySnapshot SnapshotReplies(const std::atomic<uint8_t>* pBuffer,
                                     const std::atomic<uint8_t>& latch)
{
    ReplySnapshot seen;
    seen.b0 = pBuffer[0].load();
    seen.b1 = pBuffer[1].load();
    seen.b2 = pBuffer[2].load();
    seen.rom = latch.load();
    return seen;
}
