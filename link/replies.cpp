// The reply buffer; see replies.h.
#include "link/replies.h"

#include "common/globals.h"
#include "link/reply_handoff.h"

static_assert(std::atomic<BYTE>::is_always_lock_free, "reply bytes must not take a lock");
static_assert(sizeof(std::atomic<BYTE>) == 1, "ReplyBuffer is 1,000 bytes");

// The latest reply in bytes 0 and 1; stored by the reader, looked at and
// cleared by the worker.
static std::atomic<BYTE> ReplyBuffer[REPLY_BUFFER_SIZE];

// Where the reader stores the next reply; only ever pointed at ReplyBuffer's
// start, by the reader and by the worker when it takes a reply.
static std::atomic<std::atomic<BYTE>*> pReplyWrite{ReplyBuffer};

// Code of the latest ROM-size reply the reader stored; 0 if none.  A block
// request that follows at once overwrites bytes 0 and 1, but not this; a
// report that came before the length word still counts.
static std::atomic<BYTE> RomReplyLatch{0};

// Signalled (auto-reset) by the reader each time it has stored a reply and
// once when it runs, and by whoever claims the run's end; the worker sleeps
// on it.  Made by the worker before the reader starts (null until then).
static std::atomic<HANDLE> hReplyEvent{nullptr};

bool PrepareReplies()
{
    if (hReplyEvent.load() == nullptr) hReplyEvent.store(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    ConsumeReply();
    return hReplyEvent.load() != nullptr;
}

void ClearReplyBuffer()
{
    BeginReaderCycle(ReplyBuffer, REPLY_BUFFER_SIZE);
    pReplyWrite.store(ReplyBuffer);
}

void StoreReadBytes(const BYTE* pBytes, DWORD count, BYTE* pCode)
{
    if (TakeReadBytes(pReplyWrite.load(), RomReplyLatch, pBytes, count, pCode)) WakeWorker();
}

ReplySnapshot LookAtReplies()
{
    return SnapshotReplies(ReplyBuffer, RomReplyLatch);
}

void ConsumeReply()
{
    ReplyBuffer[0].store(0);
    ReplyBuffer[1].store(0);
    pReplyWrite.store(ReplyBuffer);
}

void WaitForReply()
{
    WaitForSingleObject(hReplyEvent.load(), REPLY_WAIT_MS);
}

void WakeWorker()
{
    HANDLE hEvent = hReplyEvent.load();
    if (hEvent != nullptr) SetEvent(hEvent);
}
