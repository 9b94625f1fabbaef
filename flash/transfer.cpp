// The image transfer: length word, one data block per next-block reply, the
// ROM-size check, progress, the watchdog, and the end of a finished update.
// Stale or partial data is never sent: a short read of the image or a write
// the link did not complete ends the run instead.
#include "flash/flash.h"

#include <commctrl.h>

#include <cstdio>

#include "common/globals.h"
#include "flash/protocol.h"
#include "link/link.h"
#include "res/resource.h"

// Result of the progress dialog after a finished update.
static constexpr INT_PTR DLG_RESULT_DONE = 1;

// Size of the buffer for the ROM-size refusal text.
static constexpr int REFUSAL_TEXT_SIZE = 100;

// Reads exactly cb bytes of the image; false on a failed or short read.
static bool ReadImage(HANDLE hImage, BYTE* pBuf, DWORD cb)
{
    DWORD dwRead = 0;
    return ReadFile(hImage, pBuf, cb, &dwRead, nullptr) && dwRead == cb;
}

// Restarts the watchdog: the handheld has 30 s to ask for the next block.
static void ArmWatchdog()
{
    SetTimer(hProgressDlg, TIMER_WATCHDOG, TIMER_WATCHDOG_MS, nullptr);
}

// Stops the watchdog.
static void StopWatchdog()
{
    KillTimer(hProgressDlg, TIMER_WATCHDOG);
}

// Consumes the stored reply: clears the pair and rewinds the write cursor.
void ConsumeReply()
{
    ReplyBuffer[0].store(0);
    ReplyBuffer[1].store(0);
    pReplyWrite.store(ReplyBuffer);
}

// True while bytes 0 and 1 of the reply buffer hold the next-block reply.
static bool NextBlockRequested()
{
    return IsReply(ReplyBuffer[0].load(), ReplyBuffer[1].load(), REPLY_NEXT);
}

// Advances the bar by one block and shows the percentage of the file size.
static void ProgressStep(DWORD dwFileSize)
{
    LRESULT pos = SendMessageA(hProgressBar, PBM_GETPOS, 0, 0);
    SendMessageA(hProgressBar, PBM_SETPOS, static_cast<WPARAM>(pos + BLOCK_SIZE), 0);
    LRESULT now = SendMessageA(hProgressBar, PBM_GETPOS, 0, 0);
    SetDlgItemInt(hProgressDlg, IDC_PERCENT,
                  ProgressPercent(static_cast<uint32_t>(now), dwFileSize), FALSE);
}

// Sends one data block and moves the bar; on a failed write the watchdog is
// stopped and the run ended.
static bool SendBlock(const BYTE* pBlock, DWORD dwFileSize)
{
    if (!LinkSend(pBlock, BLOCK_SIZE)) {
        StopWatchdog();
        EndRunWithError(hProgressDlg, "Lost USB connection!");
        return false;
    }
    ProgressStep(dwFileSize);
    return true;
}

// Shows the ROM-size refusal for the reported ROM, with M for the image.
static void RefuseImage(uint32_t dwRemaining, uint32_t romMegabytes)
{
    StopWatchdog();
    char szText[REFUSAL_TEXT_SIZE];
    snprintf(szText, sizeof(szText),
             "Flash ROM size is not enough!\r\nImage File size : %u Mbytes\r\nFlash ROM size : %u "
             "Mbytes",
             ImageMegabytes(dwRemaining), romMegabytes);
    MessageBoxA(hProgressDlg, szText, nullptr, MB_OK);
    SendMessageA(hMainWnd, WM_CLOSE, 0, 0);
}

// Reads the head and the deferred block into their buffers; false (run ended)
// when memory or the image fails.
static bool LoadRegions(HANDLE hImage)
{
    pChunkBuf = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, REGION_SIZE));
    pDeferredBuf = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, REGION_SIZE));
    if (pChunkBuf == nullptr || pDeferredBuf == nullptr) {
        EndRunWithError(hMainWnd, "Not enough memory");
        return false;
    }
    if (!ReadImage(hImage, pChunkBuf, REGION_SIZE) ||
        !ReadImage(hImage, pDeferredBuf, REGION_SIZE)) {
        EndRunWithError(hMainWnd, "Can't read nk.nb0");
        return false;
    }
    return true;
}

// Sends the length word and starts the data phase: bar reset, watchdog armed,
// arrow cursor.
static bool Announce(DWORD dwFileSize)
{
    uint32_t length = LengthWord(dwFileSize);
    const BYTE word[4] = {static_cast<BYTE>(length), static_cast<BYTE>(length >> 8),
                          static_cast<BYTE>(length >> 16), static_cast<BYTE>(length >> 24)};
    // Armed before the word goes out: a write the handheld never takes
    // would otherwise wait with no timer running.
    ArmWatchdog();
    if (!LinkSend(word, sizeof(word))) {
        StopWatchdog();
        EndRunWithError(hProgressDlg, "Lost USB connection!");
        return false;
    }
    SendMessageA(hProgressBar, PBM_SETRANGE32, 0, static_cast<LPARAM>(dwFileSize));
    SendMessageA(hProgressBar, PBM_SETPOS, 0, 0);
    SetDlgItemInt(hProgressDlg, IDC_PERCENT, 0, FALSE);
    bBusyCursor.store(0);
    PostMessageA(hProgressDlg, WM_SETCURSOR, 0, 0);
    return true;
}

// Answers next-block replies with body blocks until only the deferred block is
// left; false when the run ended (refused image, failed read or write).
static bool SendBody(HANDLE hImage, DWORD dwFileSize, uint32_t& dwRemaining)
{
    for (;;) {
        Sleep(1);
        BYTE b0 = ReplyBuffer[0].load();
        BYTE b1 = ReplyBuffer[1].load();
        uint32_t romMegabytes = RomReplyMegabytes(b0, b1);
        if (romMegabytes != 0 && RomTooSmall(dwRemaining, romMegabytes)) {
            RefuseImage(dwRemaining, romMegabytes);
            return false;
        }
        if (!IsReply(b0, b1, REPLY_NEXT)) continue;
        ArmWatchdog();
        ConsumeReply();
        if (dwRemaining <= REGION_SIZE) return true;
        if (!ReadImage(hImage, pChunkBuf, BLOCK_SIZE)) {
            StopWatchdog();
            EndRunWithError(hMainWnd, "Can't read nk.nb0");
            return false;
        }
        if (!SendBlock(pChunkBuf, dwFileSize)) return false;
        dwRemaining -= BLOCK_SIZE;
    }
}

// Sends the deferred block as its two halves, the second after the handheld
// asked for it, then clears the record and tells the user.
static void Finish(DWORD dwFileSize)
{
    if (!SendBlock(pDeferredBuf, dwFileSize)) return;
    while (!NextBlockRequested()) {
    }
    ArmWatchdog();
    if (!SendBlock(pDeferredBuf + BLOCK_SIZE, dwFileSize)) return;
    StopWatchdog();
    ResetUpdateRecord();
    bFlashDone.store(1);
    MoveWindow(hProgressDlg, 0, 0, 0, 0, TRUE);
    MessageBoxA(hProgressDlg, "Flash Done!", "Message", MB_OK);
    SetDlgItemInt(hProgressDlg, IDC_PERCENT, 100, FALSE);
    EndDialog(hProgressDlg, DLG_RESULT_DONE);
}

// Carries the exchange from the length word to its end; closes hImage.
int TransferImage(HANDLE hImage)
{
    DWORD dwFileSize = GetFileSize(hImage, nullptr);
    if (dwFileSize == INVALID_FILE_SIZE) {
        CloseHandle(hImage);
        EndRunWithError(hMainWnd, "Can't get nk.nb0 file size");
        return 0;
    }
    uint32_t dwRemaining = LengthWord(dwFileSize);
    if (LoadRegions(hImage) && Announce(dwFileSize) &&
        SendBody(hImage, dwFileSize, dwRemaining))
        Finish(dwFileSize);
    if (pDeferredBuf != nullptr) LocalFree(pDeferredBuf);
    pDeferredBuf = nullptr;
    CloseHandle(hImage);
    return 1;
}
