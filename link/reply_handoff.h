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

// Reader: latches a ROM-size reply of these two bytes, if they are one.
inline void LatchRomReply(std::atomic<uint8_t>& latch, uint8_t code, uint8_t zero)
{
    if (RomReplyMegabytes(code, zero) != 0) latch.store(code);
}

// Reader: stores one pair at pSlot, latching it first if it is a ROM-size reply.
inline void PublishReplyPair(std::atomic<uint8_t>* pSlot, std::atomic<uint8_t>& latch,
                             const uint8_t* pPair)
{
    LatchRomReply(latch, pPair[0], pPair[1]);
    pSlot[1].store(pPair[1]);
    pSlot[0].store(pPair[0]);
}

// Reader: takes the bytes of one read (1 or 2, in pPair; *pLast is the last
// byte of the read before, over the thread's life).  A stray byte puts the
// pairs out of step, and a ROM-size reply can then end one read and begin
// the next; it is latched all the same, since it must refuse the image
// whatever the alignment.  A pair whose first byte is not zero is published;
// true when one was.
inline bool TakeReadBytes(std::atomic<uint8_t>* pSlot, std::atomic<uint8_t>& latch, uint8_t* pPair,
                          uint32_t count, uint8_t* pLast)
{
    LatchRomReply(latch, *pLast, pPair[0]);
    *pLast = pPair[count - 1];
    if (pPair[0] == 0) return false;
    PublishReplyPair(pSlot, latch, pPair);
    pPair[0] = 0;
    return true;
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
