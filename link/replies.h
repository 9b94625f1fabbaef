// The reply buffer, touched only here.  The reader stores each reply the
// handheld sends whole in bytes 0 and 1 of ReplyBuffer, where pReplyWrite
// points; the worker looks at them, one snapshot at a time
// (link/reply_handoff.h has the order), and takes a reply by clearing them.
#pragma once

#include <windows.h>

#include "flash/protocol.h"

// Worker, before the reader starts: makes the event that wakes the worker (once
// per process), empties the buffer and points the write cursor at its start.
// False when the event can't be made.
bool PrepareReplies();

// Reader: the start of a cycle (see BeginReaderCycle).
void ClearReplyBuffer();

// Reader: takes the bytes of one read (count of them in pBytes; *pCode the
// reply code still open from the read before): each reply completed is
// published where the cursor points and the worker woken.
void StoreReadBytes(const BYTE* pBytes, DWORD count, BYTE* pCode);

// Worker: one look at the stored reply and the latched ROM-size reply.
ReplySnapshot LookAtReplies();

// Worker: takes the stored reply (clears bytes 0 and 1) and points the write
// cursor at the start again.
void ConsumeReply();

// Worker: sleeps until the reader stores a reply or publishes that it runs,
// or the run's end is claimed, or for REPLY_WAIT_MS at most.
void WaitForReply();

// Any thread: wakes the worker from WaitForReply.
void WakeWorker();
