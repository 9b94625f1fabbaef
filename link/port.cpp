// The handheld's USB serial port: opening it with fixed settings and writing
// to it.  The worker opens, writes and closes; the reply reader issues its
// requests on the same handle, all through the port lock.
#include "link/link.h"

#include "common/globals.h"
#include "link/pieces.h"
#include "link/port_lock.h"
#include "shell/shell.h"

// The device that the handheld's USB driver presents.
static const char SZ_LINK_DEVICE[] = "\\\\.\\WCEUSBSH001";

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
    PublishPort(hPort, ApplyLinkSettings);
    if (hPort != INVALID_HANDLE_VALUE) return 1;
    EndRunWithError(hProgressDlg,
                    "Can't open USB port.\r\nPlease re-plug in USB cable, then rerun host program.");
    return 0;
}

// A fresh event per write, waited for without a time-out.
bool LinkWrite(const BYTE* pBytes, uint32_t length)
{
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof(ov));
    ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (ov.hEvent == nullptr) return false;
    DWORD dwWritten = 0;
    BOOL bOk = PortRequest(&ov, &dwWritten, true, [&](HANDLE hPort, OVERLAPPED* pOv, DWORD* pCount) {
        return WriteFile(hPort, pBytes, length, pCount, pOv);
    });
    CloseHandle(ov.hEvent);
    return bOk && dwWritten == length;
}

bool LinkSend(const BYTE* pBytes, uint32_t length)
{
    return ForEachLinkPiece(pBytes, length, LinkWrite);
}
