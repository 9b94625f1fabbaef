/*
 * Client side of the stand-in driver's control device: see simclient.h.
 */
#include "simclient.h"

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
        return DeviceIoControl(hCtl->hDevice, dwCode, const_cast<void *>(pvIn), cbIn, pvOut, cbOut, pcbDone, pOv);
    });
}

HSIMCTL SimOpenControl(void)
{
    HANDLE hDevice = CreateFileA(SIM_CTL_DOS_NAME, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, NULL);

    if (hDevice == INVALID_HANDLE_VALUE)
        return NULL;
    HSIMCTL hCtl = new SIM_CONTROL();
    hCtl->hDevice = hDevice;
    hCtl->ovRead.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    hCtl->buffer.resize(READ_BUFFER_SIZE);
    if (hCtl->ovRead.hEvent != NULL)
        return hCtl;
    SimClose(hCtl);
    return NULL;
}

/* Sends one control request whose input is a 32-bit value. */
static BOOL ControlValue(HSIMCTL hCtl, DWORD dwCode, uint32_t dwValue)
{
    return ControlRequest(hCtl, dwCode, &dwValue, sizeof(dwValue), NULL, 0, NULL);
}

BOOL SimPlug(HSIMCTL hCtl, BOOL bPresent)
{
    return ControlValue(hCtl, IOCTL_SIM_PLUG, bPresent ? 1u : 0u);
}

BOOL SimSlow(HSIMCTL hCtl, DWORD dwMs)
{
    return ControlValue(hCtl, IOCTL_SIM_SLOW, dwMs);
}

BOOL SimFault(HSIMCTL hCtl, DWORD dwRequest, DWORD dwSkip, DWORD dwCount)
{
    SIM_FAULT fault = {dwRequest, dwSkip, dwCount};
    return ControlRequest(hCtl, IOCTL_SIM_FAULT, &fault, sizeof(fault), NULL, 0, NULL);
}

BOOL SimState(HSIMCTL hCtl, SIM_STATE *pState)
{
    DWORD cbReturned = 0;
    memset(pState, 0, sizeof(*pState));
    return ControlRequest(hCtl, IOCTL_SIM_STATE, NULL, 0, pState, sizeof(*pState), &cbReturned) &&
           cbReturned == sizeof(*pState);
}

BOOL SimRelease(HSIMCTL hCtl)
{
    return ControlRequest(hCtl, IOCTL_SIM_RELEASE, NULL, 0, NULL, 0, NULL);
}

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
