// The handheld's USB serial port: opening it with fixed settings and writing
// to it.  The worker opens, writes and closes; the reply reader issues its
// requests on the same handle, all through the port lock.
#include "link/link.h"

#include <cstdio>

#include "common/globals.h"
#include "link/port_lock.h"
#include "link/run_end.h"
#include "log/runlog.h"

// The device that the handheld's USB driver presents.
static const char SZ_LINK_DEVICE[] = "\\\\.\\WCEUSBSH001";

// Largest single write to the device.
static constexpr uint32_t LINK_PIECE_SIZE = 0x3000; // 12,288

// The last failed write: its error (0 when it went out short, and
// ERROR_INVALID_HANDLE when the port was closed or the run had ended), and
// how many of its bytes went.  Worker thread only.
static DWORD dwFailError = 0, dwFailWritten = 0, dwFailLength = 0;

static HANDLE OpenLinkDevice()
{
    return CreateFileA(SZ_LINK_DEVICE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// 115,200 baud, 8 data bits, no parity, one stop bit, no flow control, DTR
// and RTS held on.  fParity stays 1 as the handheld's driver has always been
// given it; every field not named keeps what the driver reported.  A driver
// may take tens of milliseconds a call, so the run's end is looked for
// before each one.
static void ApplyLinkSettings(HANDLE hPort)
{
    if (DeviceShut()) return;
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
    if (DeviceShut()) return;
    SetCommState(hPort, &dcb);
    if (DeviceShut()) return;
    EscapeCommFunction(hPort, SETDTR);
    if (DeviceShut()) return;
    EscapeCommFunction(hPort, SETRTS);
}

int OpenLinkPort()
{
    HANDLE hPort = OpenPortUnlessShut(OpenLinkDevice, ApplyLinkSettings);
    if (hPort == nullptr) return 0; // the run ended meanwhile: nothing to say
    if (hPort != INVALID_HANDLE_VALUE) {
        LogEvent("port %s opened", SZ_LINK_DEVICE);
        return 1;
    }
    DWORD dwError = GetLastError();
    EndRunWithError(hProgressDlg,
                    "Can't open USB port.\r\nPlease re-plug in USB cable, then rerun host program.",
                    "Error", "port: %s can't be opened (%s)", SZ_LINK_DEVICE, SystemErrorText(dwError).sz);
    return 0;
}

// A fresh event per write.  The wait for it has the deadline of the timer
// that runs whenever the worker writes (the handshake's or the watchdog): when
// it fires the run ends, and the program with the box's OK.
bool LinkWrite(const BYTE* pBytes, uint32_t length)
{
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof(ov));
    ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    DWORD dwWritten = 0;
    BOOL bOk = ov.hEvent != nullptr && PortRequest(&ov, &dwWritten, [&](HANDLE hPort, OVERLAPPED* pOv, DWORD* pCount) {
                   return WriteFile(hPort, pBytes, length, pCount, pOv);
               });
    DWORD dwError = bOk ? 0 : GetLastError();
    if (ov.hEvent != nullptr) CloseHandle(ov.hEvent);
    if (bOk && dwWritten == length) return true;
    dwFailError = dwError;
    dwFailWritten = dwWritten;
    dwFailLength = length;
    return false;
}

// Takes no lock: the worker says why a write failed while a held request of
// the reader may keep the port lock, and no timer runs any more.
LogText LinkFailureText()
{
    if (dwFailError != 0 && dwFailError != ERROR_INVALID_HANDLE) return SystemErrorText(dwFailError);
    LogText text;
    if (dwFailError != 0)
        snprintf(text.sz, sizeof(text.sz), "the port had been closed");
    else
        snprintf(text.sz, sizeof(text.sz), "went out short, %lu of %lu bytes", dwFailWritten, dwFailLength);
    return text;
}

// Pieces of at most LINK_PIECE_SIZE bytes.  A zero length still makes one
// empty write; an exact multiple of the piece size makes no empty write at
// the end.
bool LinkSend(const BYTE* pBytes, uint32_t length)
{
    for (;;) {
        uint32_t piece = length > LINK_PIECE_SIZE ? LINK_PIECE_SIZE : length;
        if (!LinkWrite(pBytes, piece)) return false;
        pBytes += piece;
        length -= piece;
        if (length == 0) return true;
    }
}
