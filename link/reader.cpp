// The reply reader thread.
//
// Protocol with the driver, per cycle:
//   arm the event mask -> wait for an event (pends) -> arm again ->
//   clear ReplyBuffer -> read 2-byte pairs until no reply waits -> cycle end
// Every pair whose first byte is non-zero is stored in bytes 0 and 1 of
// ReplyBuffer, overwriting the one before; the worker takes a reply by
// clearing byte 0.  A failed arm, wait or cycle end, or bStopReader seen at
// the start of a cycle, ends the thread, which then closes the port (once).
#include "link/link.h"

#include "common/globals.h"
#include "link/port_guard.h"

// Makes one device-control request on the port through the reader's record.
static BOOL ReaderIoctl(OVERLAPPED* pOv, DWORD dwCode, DWORD* pEventWord, bool bOutput)
{
    DWORD dwReturned = 0;
    return PortRequest(pOv, &dwReturned, [&](HANDLE hPort, OVERLAPPED* pReq, DWORD* pCount) {
        return DeviceIoControl(hPort, dwCode, bOutput ? nullptr : pEventWord, bOutput ? 0 : 4,
                               bOutput ? pEventWord : nullptr, bOutput ? 4 : 0, pCount, pReq);
    });
}

// Reads up to two bytes into the pair; returns how many arrived (failures
// count as none: a read that fails is ignored).
static DWORD ReadPair(OVERLAPPED* pOv, BYTE* pPair)
{
    DWORD dwRead = 0;
    PortRequest(pOv, &dwRead, [&](HANDLE hPort, OVERLAPPED* pReq, DWORD* pCount) {
        return ReadFile(hPort, pPair, 2, pCount, pReq);
    });
    return dwRead;
}

// Sets the read time-outs so that a read returns at once with what has come.
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

// Stores a pair where pReplyWrite points: byte 1 first, so that a worker that
// sees the new code byte also sees its companion.
static void StorePair(const BYTE* pPair)
{
    std::atomic<BYTE>* pSlot = pReplyWrite.load();
    pSlot[1].store(pPair[1]);
    pSlot[0].store(pPair[0]);
}

// Clears the whole reply buffer and points the write cursor at its start.
static void ClearReplyBuffer()
{
    for (std::atomic<BYTE>& b : ReplyBuffer) b.store(0);
    pReplyWrite.store(ReplyBuffer);
}

// Reads pairs until no stored reply waits; while one does and the device has
// nothing new, gives the processor up between reads instead of spinning.  A
// port closed meanwhile (the flash run ends) ends the drain too, since no
// read can be made on it any more.
static void DrainReplies(OVERLAPPED* pOv, BYTE* pPair)
{
    do {
        DWORD dwRead = ReadPair(pOv, pPair);
        if (pPair[0] != 0) {
            StorePair(pPair);
            pPair[0] = 0;
        }
        if (dwRead == 0 && pReplyWrite.load()->load() != 0) Sleep(1);
    } while (pReplyWrite.load()->load() != 0 && PortIsOpen());
}

// Thread entry: waits for device events and keeps the latest reply pair in
// ReplyBuffer until a request fails or it is told to stop.
DWORD WINAPI UsbReaderThread(LPVOID)
{
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof(ov));
    ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    bReaderReady.store(1);
    if (ov.hEvent != nullptr) {
        SetReaderTimeouts();
        DWORD dwEventWord = LINK_EVENT_MASK;
        BYTE pair[2] = {0, 0};
        if (ReaderIoctl(&ov, IOCTL_LINK_ARM_MASK, &dwEventWord, false)) {
            while (bStopReader.load() == 0 &&
                   ReaderIoctl(&ov, IOCTL_LINK_WAIT_EVENT, &dwEventWord, true) &&
                   ReaderIoctl(&ov, IOCTL_LINK_ARM_MASK, &dwEventWord, false)) {
                ClearReplyBuffer();
                DrainReplies(&ov, pair);
                if (!ReaderIoctl(&ov, IOCTL_LINK_CYCLE_END, &dwEventWord, false)) break;
            }
        }
        CloseHandle(ov.hEvent);
    }
    ClosePortOnce();
    ExitThread(0);
}
