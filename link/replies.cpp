// The reply buffer's rules; see replies.h.
#include "link/replies.h"

#include "common/globals.h"
#include "link/reply_handoff.h"

// A reply the worker has not taken yet is kept: an event for bytes that the
// last cycle already read starts a cycle that reads nothing, and clearing
// the reply there would lose a block request the worker had not seen.  Only
// the reader stores a reply, so one that is not there now can't appear while
// the buffer is cleared.
void ClearReplyBuffer()
{
    int from = ReplyBuffer[0].load() != 0 ? 2 : 0;
    for (int i = from; i < REPLY_BUFFER_SIZE; i++) ReplyBuffer[i].store(0);
    pReplyWrite.store(ReplyBuffer);
}

void StoreReplyPair(const BYTE* pPair)
{
    PublishReplyPair(pReplyWrite.load(), RomReplyLatch, pPair);
    WakeWorker();
}

void ConsumeReply()
{
    ReplyBuffer[0].store(0);
    ReplyBuffer[1].store(0);
    pReplyWrite.store(ReplyBuffer);
}

void ForgetRomReply()
{
    RomReplyLatch.store(0);
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
