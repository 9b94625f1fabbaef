// The reply buffer's rules.  The reader stores each pair the handheld sends in
// bytes 0 and 1 of ReplyBuffer, where pReplyWrite points; the worker looks at
// them, one snapshot at a time (link/reply_handoff.h has the order), and takes
// a reply by clearing them.  A pair whose first byte is zero is never stored,
// so byte 0 alone tells whether a reply is there.
#pragma once

#include <windows.h>

// Reader: zeroes the buffer, but for a reply not taken yet, and points the
// write cursor at its start, at the beginning of each cycle.
void ClearReplyBuffer();

// Reader: publishes a pair where the cursor points (a ROM-size reply also in
// RomReplyLatch, where a block request that follows at once can't overwrite
// it) and wakes the worker.
void StoreReplyPair(const BYTE* pPair);

// Worker: takes the stored reply (clears bytes 0 and 1) and points the write
// cursor at the start again.
void ConsumeReply();

// Worker: forgets any ROM-size reply, before the length word goes out (only
// replies to the length word count).
void ForgetRomReply();

// Worker: sleeps until the reader stores a pair or publishes that it runs,
// or the run's end is claimed, or for REPLY_WAIT_MS at most.
void WaitForReply();

// Any thread: wakes the worker from WaitForReply.
void WakeWorker();
