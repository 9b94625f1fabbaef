// The rule that keeps a closed port handle from being used: every call that
// passes hLinkPort to the platform is made inside EnterOpenPort/LeavePort, and
// closing happens under the same lock.  Waiting for an overlapped request is
// done outside, on the caller's own event, so the lock is never held while a
// request is outstanding.
#pragma once

#include <windows.h>

#include "common/globals.h"

// Takes the port lock and returns true while hLinkPort is open; returns false,
// holding nothing, when the port is closed.
bool EnterOpenPort();

// Gives the port lock back after a successful EnterOpenPort.
void LeavePort();

// True while hLinkPort is open.
bool PortIsOpen();

// Issues an overlapped request through issue(hPort, &ov) and waits for it on
// ov's event; the transferred count goes to *pCount.  FALSE when the request
// failed or the port was closed before its result could be read.
template <class IssueFn>
BOOL PortRequest(OVERLAPPED* pOv, DWORD* pCount, IssueFn issue)
{
    if (!EnterOpenPort()) return FALSE;
    HANDLE hEvent = pOv->hEvent;
    ZeroMemory(pOv, sizeof(*pOv));
    pOv->hEvent = hEvent;
    *pCount = 0;
    BOOL bOk = issue(hLinkPort, pOv, pCount);
    DWORD dwError = bOk ? ERROR_SUCCESS : GetLastError();
    LeavePort();
    if (bOk) return TRUE;
    if (dwError != ERROR_IO_PENDING) return FALSE;
    WaitForSingleObject(hEvent, INFINITE);
    if (!EnterOpenPort()) return FALSE;
    bOk = GetOverlappedResult(hLinkPort, pOv, pCount, FALSE);
    LeavePort();
    return bOk;
}
