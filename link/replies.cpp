// The reply buffer's rules; see replies.h.
#include "link/replies.h"

#include "common/globals.h"
#include "flash/protocol.h"

void ClearReplyBuffer()
{
    for (std::atomic<BYTE>& b : ReplyBuffer) b.store(0);
    pReplyWrite.store(ReplyBuffer);
}

void StoreReplyPair(const BYTE* pPair)
{
    if (RomReplyMegabytes(pPair[0], pPair[1]) != 0) RomReplyLatch.store(pPair[0]);
    std::atomic<BYTE>* pSlot = pReplyWrite.load();
    pSlot[1].store(pPair[1]);
    pSlot[0].store(pPair[0]);
    if (hReplyEvent != nullptr) SetEvent(hReplyEvent);
}

bool ReplyWaitingToBeTaken()
{
    return pReplyWrite.load()->load() != 0;
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

BYTE LatchedRomReply()
{
    return RomReplyLatch.load();
}

void TakeRomReply(BYTE code)
{
    // Byte 0 goes only if it still holds the code; byte 1 of any reply is 0.
    if (ReplyBuffer[0].compare_exchange_strong(code, 0)) pReplyWrite.store(ReplyBuffer);
}

void WaitForReply(DWORD ms)
{
    if (hReplyEvent != nullptr)
        WaitForSingleObject(hReplyEvent, ms);
    else
        Sleep(1);
}
