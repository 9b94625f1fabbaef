/*
 * Client side of the stand-in driver's control device: see simclient.h.
 */
#include "simclient.h"

#include <stdio.h>
#include <string.h>

/* Size of one control-device read: always room for the largest record. */
static const DWORD READ_BUFFER_SIZE = SIM_MAX_WRITE + sizeof(SIMREC_HEADER);

/* An open control device with its record read in flight. */
struct SIM_CONTROL {
    HANDLE hDevice;                      /* \\.\QlUsbShCtl, overlapped */
    OVERLAPPED ovRead;                   /* the record read; hEvent is manual-reset */
    BOOL bReadPending;                   /* ovRead is in flight */
    std::vector<unsigned char> buffer;   /* READ_BUFFER_SIZE bytes for ovRead */
};

/* Makes one overlapped request on the control device with an event of its
 * own and waits for it; pfnStart issues the request. */
template <typename Start>
static BOOL WaitedRequest(HSIMCTL hCtl, DWORD *pcbDone, Start pfnStart)
{
    OVERLAPPED ov;
    DWORD cbDone = 0;
    BOOL bOk;

    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (ov.hEvent == NULL)
        return FALSE;
    bOk = pfnStart(&ov, &cbDone);
    if (!bOk && GetLastError() == ERROR_IO_PENDING)
        bOk = GetOverlappedResult(hCtl->hDevice, &ov, &cbDone, TRUE);
    CloseHandle(ov.hEvent);
    if (pcbDone != NULL)
        *pcbDone = cbDone;
    return bOk;
}

/* Sends one control request and waits for it. */
static BOOL ControlRequest(HSIMCTL hCtl, DWORD dwCode, const void *pvIn, DWORD cbIn, void *pvOut,
                           DWORD cbOut, DWORD *pcbReturned)
{
    return WaitedRequest(hCtl, pcbReturned, [&](OVERLAPPED *pOv, DWORD *pcbDone) {
        return DeviceIoControl(hCtl->hDevice, dwCode, const_cast<void *>(pvIn), cbIn, pvOut, cbOut,
                               pcbDone, pOv);
    });
}

/* Opens the control device. */
HSIMCTL SimOpenControl(void)
{
    HANDLE hDevice = CreateFileA(SIM_CTL_DOS_NAME, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, NULL);
    HSIMCTL hCtl;

    if (hDevice == INVALID_HANDLE_VALUE)
        return NULL;
    hCtl = new SIM_CONTROL;
    hCtl->hDevice = hDevice;
    memset(&hCtl->ovRead, 0, sizeof(hCtl->ovRead));
    hCtl->ovRead.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    hCtl->bReadPending = FALSE;
    if (hCtl->ovRead.hEvent == NULL) {
        DWORD dwError = GetLastError();
        CloseHandle(hDevice);
        delete hCtl;
        SetLastError(dwError);
        return NULL;
    }
    hCtl->buffer.resize(READ_BUFFER_SIZE);
    return hCtl;
}

/* Sends one control request whose input is a 32-bit value. */
static BOOL ControlValue(HSIMCTL hCtl, DWORD dwCode, uint32_t dwValue)
{
    return ControlRequest(hCtl, dwCode, &dwValue, sizeof(dwValue), NULL, 0, NULL);
}

/* Plugs the handheld in or pulls it out. */
BOOL SimPlug(HSIMCTL hCtl, BOOL bPresent)
{
    return ControlValue(hCtl, IOCTL_SIM_PLUG, bPresent ? 1u : 0u);
}

/* Slows the port's device-control requests down. */
BOOL SimSlow(HSIMCTL hCtl, DWORD dwMs)
{
    return ControlValue(hCtl, IOCTL_SIM_SLOW, dwMs);
}

/* Arms or clears an injected fault. */
BOOL SimFault(HSIMCTL hCtl, DWORD dwRequest, DWORD dwSkip, DWORD dwCount)
{
    SIM_FAULT fault;
    fault.request = dwRequest;
    fault.skip = dwSkip;
    fault.count = dwCount;
    return ControlRequest(hCtl, IOCTL_SIM_FAULT, &fault, sizeof(fault), NULL, 0, NULL);
}

/* Reads the driver's state. */
BOOL SimState(HSIMCTL hCtl, SIM_STATE *pState)
{
    DWORD cbReturned = 0;
    memset(pState, 0, sizeof(*pState));
    if (!ControlRequest(hCtl, IOCTL_SIM_STATE, NULL, 0, pState, sizeof(*pState), &cbReturned))
        return FALSE;
    return cbReturned == sizeof(*pState);
}

/* Lets the held arm requests take effect. */
BOOL SimRelease(HSIMCTL hCtl)
{
    return ControlRequest(hCtl, IOCTL_SIM_RELEASE, NULL, 0, NULL, 0, NULL);
}

/* Sends handheld bytes to the host. */
BOOL SimSendToHost(HSIMCTL hCtl, const void *pvData, DWORD cbData)
{
    DWORD cbWritten = 0;
    BOOL bOk = WaitedRequest(hCtl, &cbWritten, [&](OVERLAPPED *pOv, DWORD *pcbDone) {
        return WriteFile(hCtl->hDevice, pvData, cbData, pcbDone, pOv);
    });
    if (bOk && cbWritten != cbData) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    return bOk;
}

/* Splits a control-device read into records; FALSE if the buffer is not a
 * whole number of well-formed records (those before the fault are kept). */
static BOOL ParseRecords(const unsigned char *pbData, DWORD cbData, std::vector<SIM_RECORD> *pRecords)
{
    DWORD dwPos = 0;

    while (dwPos < cbData) {
        SIMREC_HEADER header;
        SIM_RECORD rec;

        if (cbData - dwPos < sizeof(header))
            return FALSE;
        memcpy(&header, pbData + dwPos, sizeof(header));
        dwPos += sizeof(header);
        if (header.length > cbData - dwPos)
            return FALSE;
        rec.dwKind = header.kind;
        rec.data.assign(pbData + dwPos, pbData + dwPos + header.length);
        dwPos += header.length;
        pRecords->push_back(rec);
    }
    return TRUE;
}

/* Waits for host records and appends them. */
int SimReadRecords(HSIMCTL hCtl, DWORD dwTimeoutMs, std::vector<SIM_RECORD> *pRecords)
{
    DWORD cbRead = 0;
    BOOL bOk;
    size_t cBefore = pRecords->size();

    if (!hCtl->bReadPending) {
        ResetEvent(hCtl->ovRead.hEvent);
        bOk = ReadFile(hCtl->hDevice, &hCtl->buffer[0], READ_BUFFER_SIZE, &cbRead, &hCtl->ovRead);
        if (!bOk && GetLastError() != ERROR_IO_PENDING)
            return -1;
        hCtl->bReadPending = TRUE;
    }
    if (WaitForSingleObject(hCtl->ovRead.hEvent, dwTimeoutMs) != WAIT_OBJECT_0)
        return 0;
    hCtl->bReadPending = FALSE;
    if (!GetOverlappedResult(hCtl->hDevice, &hCtl->ovRead, &cbRead, FALSE))
        return -1;
    if (!ParseRecords(&hCtl->buffer[0], cbRead, pRecords)) {
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    return (int)(pRecords->size() - cBefore);
}

/* Formats a record as one log line. */
std::string SimFormatRecord(const SIM_RECORD &rec)
{
    char szLine[256];

    switch (rec.dwKind) {
    case SIMREC_OPEN:
        return "open";
    case SIMREC_CLOSE:
        return "close";
    case SIMREC_WRITE:
        snprintf(szLine, sizeof(szLine), "write %u", (unsigned)rec.data.size());
        return szLine;
    case SIMREC_IOCTL:
        if (rec.data.size() >= sizeof(SIM_IOCTL)) {
            SIM_IOCTL io;
            memcpy(&io, &rec.data[0], sizeof(io));
            snprintf(szLine, sizeof(szLine), "ioctl 0x%x in=%u out=%u status=0x%x",
                     (unsigned)io.code, (unsigned)io.inLength, (unsigned)io.outLength,
                     (unsigned)io.status);
            return szLine;
        }
        break;
    case SIMREC_SETTINGS:
        if (rec.data.size() >= sizeof(SIM_SETTINGS)) {
            SIM_SETTINGS s;
            memcpy(&s, &rec.data[0], sizeof(s));
            snprintf(szLine, sizeof(szLine),
                     "settings baud=%u data=%u parity=%u stop=%u dtr=%u rts=%u handshake=0x%x flow=0x%x "
                     "ri=%u rm=%u rc=%u wm=%u wc=%u",
                     (unsigned)s.baud, (unsigned)s.dataBits, (unsigned)s.parity, (unsigned)s.stopBits,
                     (unsigned)s.dtr, (unsigned)s.rts, (unsigned)s.controlHandShake, (unsigned)s.flowReplace,
                     (unsigned)s.readIntervalTimeout, (unsigned)s.readTotalMultiplier,
                     (unsigned)s.readTotalConstant, (unsigned)s.writeTotalMultiplier,
                     (unsigned)s.writeTotalConstant);
            return szLine;
        }
        break;
    default:
        break;
    }
    snprintf(szLine, sizeof(szLine), "record kind=%u length=%u", (unsigned)rec.dwKind,
             (unsigned)rec.data.size());
    return szLine;
}

/* Cancels the read in flight and closes the control device. */
void SimClose(HSIMCTL hCtl)
{
    DWORD cbRead = 0;

    if (hCtl == NULL)
        return;
    if (hCtl->bReadPending) {
        CancelIoEx(hCtl->hDevice, &hCtl->ovRead);
        GetOverlappedResult(hCtl->hDevice, &hCtl->ovRead, &cbRead, TRUE);
    }
    CloseHandle(hCtl->ovRead.hEvent);
    CloseHandle(hCtl->hDevice);
    delete hCtl;
}
