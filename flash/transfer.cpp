// The image transfer: length word, one data block per next-block reply, the
// ROM-size check, progress, the watchdog, and the end of a finished update.
// Stale or partial data is never sent: a short read of the image or a write
// the link did not complete ends the run instead.
#include "flash/flash.h"

#include <cstdio>

#include "common/globals.h"
#include "flash/protocol.h"
#include "link/link.h"
#include "link/replies.h"
#include "link/run_end.h"
#include "log/logtext.h"
#include "log/runlog.h"
#include "ui/ui.h"

// Result of the progress dialog after a finished update.
static constexpr INT_PTR DLG_RESULT_DONE = 1;

// Size of the buffer for the ROM-size refusal text.
static constexpr int REFUSAL_TEXT_SIZE = 100;

// When the handheld's latest block request was seen, for the log's block
// times.  Worker thread only.
static double msRequestSeen = 0;

// The image's 262,144-byte buffers: pChunkBuf holds the head and then each
// body block, pDeferredBuf the deferred block.  Worker thread only; freed by
// TransferImage.
static BYTE* pChunkBuf = nullptr;
static BYTE* pDeferredBuf = nullptr;

// Reads exactly cb bytes of the image; false, with the run ended, on a failed
// or short read.
static bool ReadImage(HANDLE hImage, BYTE* pBuf, DWORD cb)
{
    DWORD dwRead = 0;
    BOOL bRead = ReadFile(hImage, pBuf, cb, &dwRead, nullptr);
    if (bRead && dwRead == cb) return true;
    LogText why = SystemErrorText(bRead ? NO_ERROR : GetLastError());
    StopDialogTimer(TIMER_WATCHDOG);
    EndRunWithError(hMainWnd, "Can't read nk.nb0", "Error", "image: nk.nb0 can't be read (%s)",
                    bRead ? "it ended early" : why.sz);
    return false;
}

// The handheld has 30 s from now to ask for the next block.
static void ArmWatchdog()
{
    ArmDialogTimer(TIMER_WATCHDOG, TIMER_WATCHDOG_MS);
}

// Sends data block number `block` and moves the bar; on a failed write the
// watchdog is stopped and the run ended.
static bool SendBlock(const BYTE* pBlock, DWORD dwFileSize, uint32_t block)
{
    if (!LinkSend(pBlock, BLOCK_SIZE)) {
        StopDialogTimer(TIMER_WATCHDOG);
        EndRunWithError(hProgressDlg, "Lost USB connection!", "Error", "lost: writing %s failed: %s",
                        WhatWasSent(block, BlocksForImage(dwFileSize)).sz, LinkFailureText().sz);
        return false;
    }
    AdvanceProgress(BLOCK_SIZE, dwFileSize);
    LogBlockSent(block, LogClockMs() - msRequestSeen);
    return true;
}

// Shows the ROM-size refusal for the reported ROM, with M for the image, in a
// box with the system's default caption.
static void RefuseImage(const Step& step)
{
    StopDialogTimer(TIMER_WATCHDOG);
    char szText[REFUSAL_TEXT_SIZE];
    snprintf(szText, sizeof(szText),
             "Flash ROM size is not enough!\r\nImage File size : %u Mbytes\r\nFlash ROM size : %u "
             "Mbytes",
             step.imageMegabytes, step.romMegabytes);
    EndRunWithError(hProgressDlg, szText, nullptr, "refused: image of %u MiB for a %u MiB flash ROM",
                    step.imageMegabytes, step.romMegabytes);
}

// Reads the head and the deferred block into their buffers; false (run ended)
// when memory or the image fails.
static bool LoadRegions(HANDLE hImage)
{
    // The handheld waits for the length word meanwhile: an image read that
    // stalls (a file on a share) still has a deadline.
    ArmWatchdog();
    pChunkBuf = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, REGION_SIZE));
    pDeferredBuf = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, REGION_SIZE));
    if (pChunkBuf == nullptr || pDeferredBuf == nullptr) {
        StopDialogTimer(TIMER_WATCHDOG);
        EndRunWithError(hMainWnd, "Not enough memory", "Error",
                        "memory: the image's two 256 KiB buffers can't be had");
        return false;
    }
    return ReadImage(hImage, pChunkBuf, REGION_SIZE) && ReadImage(hImage, pDeferredBuf, REGION_SIZE);
}

// Sends the length word and starts the data phase.
static bool Announce(DWORD dwFileSize)
{
    uint32_t length = LengthWord(dwFileSize);
    const BYTE word[4] = {static_cast<BYTE>(length), static_cast<BYTE>(length >> 8),
                          static_cast<BYTE>(length >> 16), static_cast<BYTE>(length >> 24)};
    // Armed again before the word goes out: the handheld has its 30 s from
    // here, and a write it never takes still has a deadline.
    ArmWatchdog();
    if (!LinkSend(word, sizeof(word))) {
        StopDialogTimer(TIMER_WATCHDOG);
        EndRunWithError(hProgressDlg, "Lost USB connection!", "Error",
                        "lost: writing the length word failed: %s", LinkFailureText().sz);
        return false;
    }
    LogBlockCount(BlocksForImage(dwFileSize));
    LogEvent("length word %lu sent: %lu blocks of 131,072 bytes to go",
             static_cast<unsigned long>(length), static_cast<unsigned long>(BlocksForImage(dwFileSize)));
    BeginProgress(dwFileSize);
    return true;
}

// Waits for the handheld's next block request in this stage; false when the
// run ended meanwhile (a timer fired) or the image was refused.  A request is
// taken, and the watchdog restarted, before the block goes out.
static bool AwaitRequest(ExchangeStage stage, DWORD dwFileSize, uint32_t dwRemaining, Step* pStep)
{
    if (!AwaitStep(stage, dwFileSize, dwRemaining, pStep)) return false;
    if (pStep->kind == STEP_REFUSE) {
        RefuseImage(*pStep);
        return false;
    }
    msRequestSeen = LogClockMs();
    ArmWatchdog();
    ConsumeReply();
    return true;
}

// Answers block requests with body blocks until only the deferred block is
// left; false when the run ended (refused image, failed read or write, or a
// timer).
static bool SendBody(HANDLE hImage, DWORD dwFileSize, uint32_t& dwRemaining)
{
    for (;;) {
        Step step;
        if (!AwaitRequest(STAGE_BODY, dwFileSize, dwRemaining, &step)) return false;
        if (step.kind == STEP_SEND_FIRST_HALF) return true;
        if (!ReadImage(hImage, pChunkBuf, BLOCK_SIZE)) return false;
        uint32_t block = (LengthWord(dwFileSize) - dwRemaining) / BLOCK_SIZE + 1;
        if (!SendBlock(pChunkBuf, dwFileSize, block)) return false;
        dwRemaining -= BLOCK_SIZE;
    }
}

// Sends the deferred block as its two halves, the second after the handheld
// asked for it, then clears the record and tells the user.
static void Finish(DWORD dwFileSize)
{
    uint32_t blocks = BlocksForImage(dwFileSize);
    if (!SendBlock(pDeferredBuf, dwFileSize, blocks - 1)) return;
    Step step;
    if (!AwaitRequest(STAGE_LAST_HALF, dwFileSize, REGION_SIZE - BLOCK_SIZE, &step)) return;
    if (!SendBlock(pDeferredBuf + BLOCK_SIZE, dwFileSize, blocks)) return;
    StopDialogTimer(TIMER_WATCHDOG);
    if (!ClaimRunEnd()) return;
    LogDone(LengthWord(dwFileSize));
    ResetUpdateRecord();
    bFlashDone.store(1);
    ShrinkProgressDialog();
    MessageBoxA(hProgressDlg, "Flash Done!", "Message", MB_OK);
    ShowPercent(100);
    EndProgressDialog(DLG_RESULT_DONE);
}

// The image's size was checked when it was opened.
void TransferImage(HANDLE hImage)
{
    DWORD dwFileSize = GetFileSize(hImage, nullptr);
    uint32_t dwRemaining = LengthWord(dwFileSize);
    if (LoadRegions(hImage) && Announce(dwFileSize) && SendBody(hImage, dwFileSize, dwRemaining))
        Finish(dwFileSize);
    LocalFree(pChunkBuf);
    LocalFree(pDeferredBuf);
    pChunkBuf = pDeferredBuf = nullptr;
    CloseHandle(hImage);
}
