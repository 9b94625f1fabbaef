// The reply reader thread.
//
// Protocol with the driver, per cycle:
//   arm the event mask -> wait for an event (pends) -> arm again ->
//   clear ReplyBuffer -> read 2-byte pairs until no byte is left -> cycle end
// Every pair whose first byte is non-zero is stored in bytes 0 and 1 of
// ReplyBuffer, overwriting the one before; the worker takes a reply by
// clearing byte 0.  A failed arm, wait or cycle end, or bStopReader seen at
// the start of a cycle, ends the thread, which then closes the port (once).
#include "link/link.h"

#include "common/globals.h"
#include "link/port_lock.h"
#include "link/replies.h"
#include "log/runlog.h"

// One device-control request on the port through the reader's record.
static BOOL ReaderIoctl(OVERLAPPED* pOv, DWORD dwCode, DWORD* pEventWord, bool bOutput)
{
    DWORD dwReturned = 0;
    return PortRequest(pOv, &dwReturned, false, [&](HANDLE hPort, OVERLAPPED* pReq, DWORD* pCount) {
        return DeviceIoControl(hPort, dwCode, bOutput ? nullptr : pEventWord, bOutput ? 0 : 4,
                               bOutput ? pEventWord : nullptr, bOutput ? 4 : 0, pCount, pReq);
    });
}

// Reads up to two bytes into the pair; returns how many arrived.  A read that
// fails is ignored, as one that brought nothing.
static DWORD ReadPair(OVERLAPPED* pOv, BYTE* pPair)
{
    DWORD dwRead = 0;
    PortRequest(pOv, &dwRead, false, [&](HANDLE hPort, OVERLAPPED* pReq, DWORD* pCount) {
        return ReadFile(hPort, pPair, 2, pCount, pReq);
    });
    return dwRead;
}

// Read time-outs that make a read return at once with what has come.
static void SetReaderTimeouts()
{
    if (!EnterOpenPort()) return;
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(hLinkPort, &timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    SetCommTimeouts(hLinkPort, &timeouts);
    LeavePort();
}

// Reads pairs until a read brings nothing.  A byte left behind would raise no
// event of its own (the driver reports only bytes that arrive after the arm)
// and would put the next reply out of step: after a ready reply one byte out
// of step, its last byte read together with the next request would lose that
// request.  A stored reply that the worker has not taken yet needs no more
// reading: it stays where it is until the worker takes it or a newer pair,
// announced by its own event, replaces it.  Each read returns at once (the
// read time-outs above), so the drain never waits.
static void DrainReplies(OVERLAPPED* pOv, BYTE* pPair)
{
    while (ReadPair(pOv, pPair) > 0) {
        if (pPair[0] != 0) {
            StoreReplyPair(pPair);
            pPair[0] = 0;
        }
    }
}

// The reader says it runs only once its first arm request has been made: a
// serial driver reports only bytes that arrive after the mask is armed, so a
// quick reply to a byte the worker sent earlier would never be announced.
// It says so whatever the arm's result, since the worker waits for it with no
// timer running; a reader that ended leaves the handshake timer to end the run.
DWORD WINAPI UsbReaderThread(LPVOID)
{
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof(ov));
    ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    DWORD dwEventWord = LINK_EVENT_MASK;
    bool bArmed = false;
    if (ov.hEvent != nullptr) {
        SetReaderTimeouts();
        bArmed = ReaderIoctl(&ov, IOCTL_LINK_ARM_MASK, &dwEventWord, false);
    }
    bReaderReady.store(1);
    WakeWorker();
    BYTE pair[2] = {0, 0};
    const char* szWhy = "the arm request failed";
    while (bArmed && bStopReader.load() == 0) {
        if (!ReaderIoctl(&ov, IOCTL_LINK_WAIT_EVENT, &dwEventWord, true)) {
            szWhy = "the wait request failed";
            break;
        }
        if (!ReaderIoctl(&ov, IOCTL_LINK_ARM_MASK, &dwEventWord, false)) {
            szWhy = "the arm request failed";
            break;
        }
        ClearReplyBuffer();
        DrainReplies(&ov, pair);
        if (!ReaderIoctl(&ov, IOCTL_LINK_CYCLE_END, &dwEventWord, false)) {
            szWhy = "the cycle-end request failed";
            break;
        }
    }
    LogText why = SystemErrorText(GetLastError());
    if (ov.hEvent != nullptr) CloseHandle(ov.hEvent);
    // A reader whose port the worker closed ends as expected: nothing to say.
    if (bStopReader.load() != 0)
        LogEvent("reply reader ended: told to stop");
    else if (PortIsOpen())
        LogEvent("reply reader ended: %s (%s)", szWhy, why.sz);
    ClosePortOnce();
    ExitThread(0);
}
