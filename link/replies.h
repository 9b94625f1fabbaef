// The reply buffer's rules.  The reader stores each pair the handheld sends in
// bytes 0 and 1 of ReplyBuffer, where pReplyWrite points; the worker looks at
// those bytes and takes a reply by clearing them.  A pair whose first byte is
// zero is never stored, so byte 0 alone tells whether a reply is there.
#pragma once

#include <windows.h>

// Reader: zeroes the whole buffer and points the write cursor at its start,
// at the beginning of each cycle.
void ClearReplyBuffer();

// Reader: stores a pair where the cursor points, the second byte first, so
// that a worker that sees the new code byte also sees its companion.  A
// ROM-size reply is also kept in RomReplyLatch, where a next-block reply
// that follows at once can't overwrite it.
void StoreReplyPair(const BYTE* pPair);

// Reader: true while the last stored reply has not been taken by the worker;
// the reader goes on reading until it has.
bool ReplyWaitingToBeTaken();

// Worker: takes the stored reply (clears bytes 0 and 1) and points the write
// cursor at the start again.
void ConsumeReply();

// Worker: takes a ROM-size reply with this code if it still stands in bytes 0
// and 1 (the latch keeps it); a pair stored after it is left alone.  A reply
// left untaken would keep the reader reading every millisecond.
void TakeRomReply(BYTE code);

// Worker: waits up to ms for the reader to store a pair (returns at once if
// it stored one since the last wait); a plain pause without the event.
void WaitForReply(DWORD ms);

// Worker: forgets any ROM-size reply, before the length word goes out (only
// replies to the length word count).
void ForgetRomReply();

// Worker: the code of the latest ROM-size reply since then, 0 if none came.
BYTE LatchedRomReply();
