// The reply reader thread.
//
// Protocol with the driver, per cycle:
//   arm the event mask -> wait for an event (pends) -> arm again ->
//   clear the reply buffer -> read until no byte is left -> cycle end
// The bytes read are decoded as a stream (link/reply_handoff.h), so a reply
// split over two reads, or glued to the next, still reaches the worker.  A
// failed request (the port closed, the run's end, the handheld gone), or
// bStopReader seen at the start of a cycle, ends the thread, which then
// closes the port (once).
#include "link/link.h"

#include "common/globals.h"
#include "link/port_lock.h"
#include "link/replies.h"
#include "log/runlog.h"

// Bytes one read asks for: a reply's worth.  Fewer may come.
static constexpr DWORD READ_SIZE = 2;

// One device-control request on the port through the reader's record.
static BOOL ReaderIoctl(OVERLAPPED* pOv, DWORD dwCode, DWORD* pEventWord, bool bOutput)
{
    DWORD dwReturned = 0;
    return PortRequest(pOv, &dwReturned, [&](HANDLE hPort, OVERLAPPED* pReq, DWORD* pCount) {
        return DeviceIoControl(hPort, dwCode, bOutput ? nullptr : pEventWord, bOutput ? 0 : 4,
                               bOutput ? pEventWord : nullptr, bOutput ? 4 : 0, pCount, pReq);
    });
}

// Reads up to READ_SIZE bytes; returns how many arrived.  A read that fails
// is taken as one that brought nothing.
static DWORD ReadBytes(OVERLAPPED* pOv, BYTE* pBytes)
{
    DWORD dwRead = 0;
    PortRequest(pOv, &dwRead, [&](HANDLE hPort, OVERLAPPED* pReq, DWORD* pCount) {
        return ReadFile(hPort, pBytes, READ_SIZE, pCount, pReq);
    });
    return dwRead;
}

// Read time-outs that make a read return at once with what has come.
static void SetReaderTimeouts()
{
    if (!EnterOpenPort(true)) return;
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(hLinkPort, &timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    SetCommTimeouts(hLinkPort, &timeouts);
    LeavePort();
}

// Reads until a read brings nothing.  A byte left behind would raise no
// event of its own (the driver reports only bytes that arrive after the
// arm).  Each read returns at once (the read time-outs above), so the drain
// never waits; a reply that is still open at the end (its 00 not yet come)
// is completed by the next cycle's first byte.
static void DrainReplies(OVERLAPPED* pOv, BYTE* pCode)
{
    BYTE bytes[READ_SIZE];
    for (DWORD dwRead; (dwRead = ReadBytes(pOv, bytes)) > 0;) StoreReadBytes(bytes, dwRead, pCode);
}

// The reader says it runs only once its first arm request has been made: a
// serial driver reports only bytes that arrive after the mask is armed, so a
// quick reply to a byte the worker sent earlier would never be announced.
// It says so whatever the arm's result, so that the worker goes on at once: a
// reader that ended has closed the port, and the worker's next write ends the
// run.
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
    BYTE code = 0; // a reply code whose 00 has not been read yet
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
        DrainReplies(&ov, &code);
        if (!ReaderIoctl(&ov, IOCTL_LINK_CYCLE_END, &dwEventWord, false)) {
            szWhy = "the cycle-end request failed";
            break;
        }
    }
    DWORD dwError = GetLastError();
    if (ov.hEvent != nullptr) CloseHandle(ov.hEvent);
    // A reader whose port was closed, or whose run ended, ends as expected:
    // nothing to say.  The event goes first, the port last.
    if (bStopReader.load() != 0)
        LogEvent("reply reader ended: told to stop");
    else if (dwError != ERROR_INVALID_HANDLE)
        LogEvent("reply reader ended: %s (%s)", szWhy, SystemErrorText(dwError).sz);
    ClosePortOnce();
    ExitThread(0);
}
