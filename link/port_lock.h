// The port lock.  The worker and the reply reader both use hLinkPort, and
// either may close it; every call that passes hLinkPort to the platform is
// made between EnterOpenPort and LeavePort, and the close happens under the
// same lock, so neither thread can pass a handle value that the other has
// closed (and that may already name a new object).  Waiting for an
// overlapped request is done outside the lock, on the caller's own event.
//
// The same lock lets the run's end shut the device: from the shut on, no
// open, setting, reader request or write is issued; only results are
// collected and the port closed.  The shut never waits for a request being
// issued longer than SHUT_WAIT_MS, so a driver that holds one can't keep the
// dialog from ending the run; at worst the one call under way, issued before
// the end, still completes (a settings call is several driver requests).
#pragma once

#include <windows.h>

#include "common/globals.h"

// Makes the lock usable; called once at start-up, before any thread exists.
void InitPortLock();

// Takes the lock and returns true while hLinkPort is open and, for a request
// that reaches the device (bIssue), the device is not shut; returns false,
// holding nothing, otherwise.
bool EnterOpenPort(bool bIssue);

// Gives the lock back after a successful EnterOpenPort.
void LeavePort();

// Opens the port with open() and configures it with configure(hPort), under
// the lock and only while the device is not shut, and publishes it in
// hLinkPort.  The handle, INVALID_HANDLE_VALUE when the open failed (the
// system's error stays the last error), or nullptr when the run ended first
// (then nothing is left open).
HANDLE OpenPortUnlessShut(HANDLE (*open)(), void (*configure)(HANDLE hPort));

// Closes hLinkPort unless it is closed already; true when this call closed it.
bool ClosePortOnce();

// Shuts the device for the rest of the process.  True for the first call only.
bool ShutDevice();

// True once the device has been shut; a caller between two calls of a long
// sequence (the port's settings) stops there.
bool DeviceShut();

// Issues an overlapped request through issue(hPort, &ov, &count) and waits for
// it on ov's event; the transferred count goes to *pCount.  The wait's
// deadline is the caller's (common/globals.h).  FALSE when the request
// failed, or could not be issued or its result read because the port was
// closed or the device shut (then with ERROR_INVALID_HANDLE).
template <class IssueFn>
BOOL PortRequest(OVERLAPPED* pOv, DWORD* pCount, IssueFn issue)
{
    if (!EnterOpenPort(true)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HANDLE hEvent = pOv->hEvent;
    ZeroMemory(pOv, sizeof(*pOv));
    pOv->hEvent = hEvent;
    *pCount = 0;
    BOOL bOk = issue(hLinkPort, pOv, pCount);
    DWORD dwError = bOk ? ERROR_SUCCESS : GetLastError();
    LeavePort();
    if (bOk) return TRUE;
    if (dwError != ERROR_IO_PENDING) {
        SetLastError(dwError);
        return FALSE;
    }
    WaitForSingleObject(hEvent, INFINITE);
    if (!EnterOpenPort(false)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bOk = GetOverlappedResult(hLinkPort, pOv, pCount, FALSE);
    dwError = GetLastError();
    LeavePort();
    SetLastError(dwError);
    return bOk;
}
