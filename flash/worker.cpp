// The update worker thread and the flash run: sync software closed, image
// checked, port opened (twice, as the handheld's driver expects after the sync
// software let go), reader started, boot loader greeted, image handed over.
#include "flash/flash.h"

#include "common/globals.h"
#include "flash/protocol.h"
#include "link/link.h"
#include "link/port_lock.h"
#include "link/replies.h"
#include "link/run_end.h"
#include "log/logtext.h"
#include "log/runlog.h"
#include "ui/ui.h"

// Name of the image in the current directory; set by RunFlashUpdate.
static const char* szImagePath = "nk.nb0";

// Opens nk.nb0 letting others only read it, so nothing can change the image
// during the transfer, and refuses an image whose size does not fit the
// exchange before the device is touched.  INVALID_HANDLE_VALUE when the run
// has been ended.
static HANDLE OpenImage()
{
    HANDLE hImage = CreateFileA(szImagePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hImage == INVALID_HANDLE_VALUE) {
        EndRunWithError(hMainWnd, "Can't open nk.nb0", "Error", "image: nk.nb0 can't be opened (%s)",
                        SystemErrorText(GetLastError()).sz);
        return INVALID_HANDLE_VALUE;
    }
    DWORD dwHigh = 0;
    SetLastError(NO_ERROR);
    DWORD dwLow = GetFileSize(hImage, &dwHigh);
    DWORD dwError = GetLastError();
    bool bUnknown = dwLow == INVALID_FILE_SIZE && dwError != NO_ERROR;
    ImageVerdict verdict = CheckImageSize(dwLow, dwHigh, bUnknown);
    if (verdict == IMAGE_OK) return hImage;
    CloseHandle(hImage);
    if (verdict == IMAGE_SIZE_UNKNOWN)
        EndRunWithError(hMainWnd, "Can't get nk.nb0 file size", "Error",
                        "image: the size of nk.nb0 can't be read (%s)", SystemErrorText(dwError).sz);
    else
        EndRunWithError(hMainWnd, "Invalid nk.nb0 file size", "Error",
                        "image: nk.nb0 is %lu bytes%s, not 524,288 + k x 131,072 below 4 GiB", dwLow,
                        dwHigh ? " above a multiple of 4 GiB" : "");
    return INVALID_HANDLE_VALUE;
}

// Starts the reply reader and waits until it runs; false (run ended) when the
// thread or the event it wakes the worker with can't be created, or the run
// ended before or meanwhile.
static bool StartReplyReader()
{
    if (RunEnded()) return false;
    bStopReader.store(0);
    HANDLE hThread = PrepareReplies() ? CreateThread(nullptr, 0, UsbReaderThread, nullptr, 0, nullptr) : nullptr;
    if (hThread == nullptr) {
        LogText why = SystemErrorText(GetLastError());
        ClosePortOnce();
        EndRunWithError(hMainWnd, "Can't start USB reader", "Error",
                        "thread: the USB reader can't be started (%s)", why.sz);
        return false;
    }
    CloseHandle(hThread);
    // Deadline: TIMER_PORT, armed before the port was opened.
    while (bReaderReady.load() == 0 && !RunEnded()) WaitForReply();
    return !RunEnded();
}

// Sends the connect byte and waits until the boot loader's ready reply is in;
// false when the byte could not be written or the run ended meanwhile.
static bool GreetBootLoader()
{
    ConsumeReply();
    // The port is up: a write the handheld never takes still has a deadline.
    ArmDialogTimer(TIMER_HANDSHAKE, TIMER_HANDSHAKE_MS);
    StopDialogTimer(TIMER_PORT);
    static const BYTE connect[1] = {HOST_CONNECT};
    if (!LinkSend(connect, sizeof(connect))) {
        StopDialogTimer(TIMER_HANDSHAKE);
        EndRunWithError(hProgressDlg, "Lost USB connection!", "Error",
                        "lost: writing the connect byte failed: %s", LinkFailureText().sz);
        return false;
    }
    // The handheld's second runs from the byte that went out.
    ArmDialogTimer(TIMER_HANDSHAKE, TIMER_HANDSHAKE_MS);
    LogConnectSent();
    double msSent = LogClockMs();
    Step step;
    // Deadline: TIMER_HANDSHAKE.
    if (!AwaitStep(STAGE_GREETING, 0, 0, &step)) return false;
    StopDialogTimer(TIMER_HANDSHAKE);
    LogEvent("ready reply, %s after the connect byte", FormatMs(LogClockMs() - msSent).sz);
    // Taken, so that it is not seen again; a ROM-size reply that came with it
    // stays latched.
    ConsumeReply();
    return true;
}

// One update from image to "Flash Done!", or to the box that ends it.
static void RunFlashUpdate()
{
    szImagePath = "nk.nb0";
    HANDLE hImage = OpenImage();
    if (hImage == INVALID_HANDLE_VALUE) return;
    // The image is hashed for the log inside the pause, which it lengthens
    // only when hashing takes longer than the pause itself.
    DWORD dwStart = GetTickCount();
    LogImage(hImage, GetFileSize(hImage, nullptr));
    DWORD dwSpent = GetTickCount() - dwStart;
    Sleep(dwSpent < SYNC_RELEASE_PAUSE_MS ? SYNC_RELEASE_PAUSE_MS - dwSpent : 0);
    // The driver and the reader have TIMER_PORT from here to the connect
    // byte: a driver that holds a request of the opens, the settings or the
    // reader's start ends the run, while one that is merely slow still fits.
    ArmDialogTimer(TIMER_PORT, TIMER_PORT_MS);
    bool bReady = OpenLinkPort() && ClosePortOnce() && OpenLinkPort() && StartReplyReader() && GreetBootLoader();
    if (!bReady) {
        StopDialogTimer(TIMER_PORT);
        StopDialogTimer(TIMER_HANDSHAKE);
        ClosePortOnce();
        CloseHandle(hImage);
        return;
    }
    TransferImage(hImage);
    ClosePortOnce();
}

DWORD WINAPI UpdateWorker(LPVOID)
{
    OpenRunLog();
    StopSyncManager();
    Sleep(SYNC_RELEASE_PAUSE_MS);
    RunFlashUpdate();
    ExitThread(0);
}
