// How a reply crosses from the reader to the worker, free of Windows so that
// it is tested natively, under load and for every way reads can cut a reply.
//
// The reader decodes the byte stream, not the reads: a USB stack may hand
// over a reply in two reads, or glue its last byte to the next reply's
// first.  Every code byte followed by 00 is a reply, whatever the read
// boundaries and whatever stray byte came between two replies.
//
// The reader publishes each reply in this order:
//   (1) a ROM-size code into the latch, (2) byte 1, (3) byte 0.
// The worker takes one snapshot per look in this order:
//   (a) byte 0, (b) byte 1, (c) the latch.
// Every access is sequentially consistent.  A worker that sees at (a) the
// byte 0 of some reply therefore sees at (b) that reply's byte 1 (stored
// before it) or a later one, and at (c) every latch stored before that reply:
// a ROM-size reply that a block request overwrote in bytes 0 and 1 is in the
// same snapshot as that request, so no decision can act on the request alone.
// Reading the latch first, as a worker pre-empted between two loads could,
// would miss it.
#pragma once

#include <atomic>
#include <cstdint>

#include "flash/protocol.h"

// Size of the buffer into which the reader stores the handheld's replies.
constexpr int REPLY_BUFFER_SIZE = 1000;

// Reader: stores one reply at pSlot, latching it first if it is a ROM-size
// reply.
inline void PublishReply(std::atomic<uint8_t>* pSlot, std::atomic<uint8_t>& latch, uint8_t code)
{
    if (RomReplyMegabytes(code, 0) != 0) latch.store(code);
    pSlot[1].store(0);
    pSlot[0].store(code);
}

// Reader: takes the bytes of one read.  *pCode carries, from one read to the
// next, the last byte read if it may still begin a reply (0 if none).  A
// newer reply overwrites one the worker has not taken.  True when a reply
// was stored.
inline bool TakeReadBytes(std::atomic<uint8_t>* pSlot, std::atomic<uint8_t>& latch, const uint8_t* pBytes,
                          uint32_t count, uint8_t* pCode)
{
    bool bStored = false;
    for (uint32_t i = 0; i < count; i++) {
        if (*pCode != 0 && pBytes[i] == 0) {
            PublishReply(pSlot, latch, *pCode);
            bStored = true;
        }
        *pCode = pBytes[i]; // a 00 that ended a reply begins none
    }
    return bStored;
}

// Reader, at the start of each cycle: empties the buffer but for a reply the
// worker has not taken yet.  An event for bytes the last cycle already read
// starts a cycle that reads nothing, and clearing the reply there would lose
// a block request the worker had not seen.  Only the reader stores a reply,
// so one that is not there now can't appear while the buffer is emptied.
inline void BeginReaderCycle(std::atomic<uint8_t>* pBuffer, int size)
{
    for (int i = pBuffer[0].load() != 0 ? 2 : 0; i < size; i++) pBuffer[i].store(0);
}

// Worker: one look at bytes 0 and 1 of the buffer and the latch, in that order.
inline ReplySnapshot SnapshotReplies(const std::atomic<uint8_t>* pBuffer, const std::atomic<uint8_t>& latch)
{
    ReplySnapshot seen;
    seen.b0 = pBuffer[0].load();
    seen.b1 = pBuffer[1].load();
    seen.rom = latch.load();
    return seen;
}
