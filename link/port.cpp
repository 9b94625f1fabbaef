// The handheld's USB serial port: opening it with fixed settings and writing
// to it.  The worker opens, writes and closes; the reply reader issues its
// requests on the same handle, all through the port lock.
#include "link/link.h"

#include <cstdio>

#include "common/globals.h"
#include "link/pieces.h"
#include "link/port_lock.h"
#include "log/runlog.h"
#include "shell/run_end.h"

// The device that the handheld's USB driver presents.
static const char SZ_LINK_DEVICE[] = "\\\\.\\WCEUSBSH001";

// The last failed write: its error (0 when it went out short), and how many
// of its bytes went.  Worker thread only.
static DWORD dwFailError = 0, dwFailWritten = 0, dwFailLength = 0;

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

int OpenLinkPort()
{
    HANDLE hPort = CreateFileA(SZ_LINK_DEVICE, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    DWORD dwError = GetLastError();
    PublishPort(hPort, ApplyLinkSettings);
    if (hPort != INVALID_HANDLE_VALUE) {
        LogEvent("port %s opened", SZ_LINK_DEVICE);
        return 1;
    }
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
    BOOL bOk = ov.hEvent != nullptr &&
               PortRequest(&ov, &dwWritten, true, [&](HANDLE hPort, OVERLAPPED* pOv, DWORD* pCount) {
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

LogText LinkFailureText()
{
    if (dwFailError != 0 && PortIsOpen()) return SystemErrorText(dwFailError);
    LogText text;
    if (!PortIsOpen())
        snprintf(text.sz, sizeof(text.sz), "the port had been closed");
    else
        snprintf(text.sz, sizeof(text.sz), "went out short, %lu of %lu bytes", dwFailWritten, dwFailLength);
    return text;
}

bool LinkSend(const BYTE* pBytes, uint32_t length)
{
    return ForEachLinkPiece(pBytes, length, LinkWrite);
}
