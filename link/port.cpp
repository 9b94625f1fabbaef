// The handheld's USB serial port: opening it with fixed settings, writing to
// it, and closing it exactly once.
//
// The worker opens, writes and closes; the reply reader issues its requests on
// the same handle and also closes it when it ends.  The port lock serialises
// every use of the handle with the close, so neither thread can pass a handle
// value that the other has already closed (and that may name a new object).
#include "link/link.h"

#include "common/globals.h"
#include "link/pieces.h"
#include "link/port_guard.h"

// The device that the handheld's USB driver presents.
static const char SZ_LINK_DEVICE[] = "\\\\.\\WCEUSBSH001";

// Guards hLinkPort and bPortOpen between the worker and the reader.
static CRITICAL_SECTION csPort;

// Makes csPort usable before the first open; only the worker opens the port,
// and always before any reader exists, so a plain flag is enough.
static bool bPortLockReady = false;

// True while hLinkPort is an open handle; guarded by csPort.
static bool bPortOpen = false;

// Takes the port lock; false (and not held) when the port is closed.
bool EnterOpenPort()
{
    if (!bPortLockReady) return false;
    EnterCriticalSection(&csPort);
    if (bPortOpen) return true;
    LeaveCriticalSection(&csPort);
    return false;
}

// Gives the port lock back.
void LeavePort()
{
    LeaveCriticalSection(&csPort);
}

// Reads the open state under the lock.
bool PortIsOpen()
{
    if (!EnterOpenPort()) return false;
    LeavePort();
    return true;
}

// Closes the port unless it is closed already.
bool ClosePortOnce()
{
    if (!EnterOpenPort()) return false;
    CloseHandle(hLinkPort);
    bPortOpen = false;
    LeavePort();
    return true;
}

// 115,200 baud, 8 data bits, no parity, one stop bit, no flow control, DTR
// and RTS held on.  fParity stays 1 as the handheld's driver has always been
// given it; every field not named keeps what the driver reported.
static void ApplyLinkSettings(HANDLE hPort)
{
    DCB dcb;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    GetCommState(hPort, &dcb);
    dcb.BaudRate = CBR_115200;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(hPort, &dcb);
    EscapeCommFunction(hPort, SETDTR);
    EscapeCommFunction(hPort, SETRTS);
}

// Opens the device exclusively for overlapped I/O and configures it.  A failed
// open is told to the user once and ends the run.
int OpenLinkPort()
{
    if (!bPortLockReady) {
        InitializeCriticalSection(&csPort);
        bPortLockReady = true;
    }
    HANDLE hPort = CreateFileA(SZ_LINK_DEVICE, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EnterCriticalSection(&csPort);
    hLinkPort = hPort;
    bPortOpen = hPort != INVALID_HANDLE_VALUE;
    if (bPortOpen) ApplyLinkSettings(hPort);
    LeaveCriticalSection(&csPort);
    if (hPort != INVALID_HANDLE_VALUE) return 1;
    MessageBoxA(hProgressDlg,
                "Can't open USB port.\r\nPlease re-plug in USB cable, then rerun host program.",
                "Error", MB_OK);
    SendMessageA(hMainWnd, WM_CLOSE, 0, 0);
    return 0;
}

// One overlapped write with its own event, waited for without a time-out.
bool LinkWrite(const BYTE* pBytes, uint32_t length)
{
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof(ov));
    ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (ov.hEvent == nullptr) return false;
    DWORD dwWritten = 0;
    BOOL bOk = PortRequest(&ov, &dwWritten, [&](HANDLE hPort, OVERLAPPED* pOv, DWORD* pCount) {
        return WriteFile(hPort, pBytes, length, pCount, pOv);
    });
    CloseHandle(ov.hEvent);
    return bOk && dwWritten == length;
}

// Writes the buffer as consecutive pieces of at most 12,288 bytes.
bool LinkSend(const BYTE* pBytes, uint32_t length)
{
    return ForEachLinkPiece(pBytes, length, LinkWrite);
}
