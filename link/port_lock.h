// The port lock: keeps a closed port handle from being used.  The worker and
// the reply reader both use hLinkPort, and either may close it; every call
// that passes hLinkPort to the platform is made between EnterOpenPort and
// LeavePort, and the close happens under the same lock, so neither thread can
// pass a handle value that the other has closed (and that may already name a
// new object).  Waiting for an overlapped request is done outside the lock,
// on the caller's own event.
#pragma once

#include <windows.h>

#include "common/globals.h"

// Makes the lock usable; called once at start-up, before any thread exists.
void InitPortLock();

// Publishes a newly opened port (or INVALID_HANDLE_VALUE after a failed open)
// in hLinkPort; the configure call runs on an open port under the lock.
void PublishPort(HANDLE hPort, void (*configure)(HANDLE hPort));

// Takes the lock and returns true while hLinkPort is open (and, for a write,
// not shut for writes); returns false, holding nothing, otherwise.
bool EnterOpenPort(bool bWrite = false);

// Gives the lock back after a successful EnterOpenPort (with the same bWrite).
void LeavePort(bool bWrite = false);

// True while hLinkPort is open.
bool PortIsOpen();

// Closes hLinkPort unless it is closed already; true when this call closed it.
bool ClosePortOnce();

// Shuts the port for writes for the rest of the process: a write already
// issued finishes, no new one is issued.  It never waits for the port lock,
// only for a write being issued, and for that 100 ms at most.  True for the
// first call only.
bool ShutPortWrites();

// True once the port has been shut for writes.
bool PortWritesShut();

// Issues an overlapped request through issue(hPort, &ov, &count) and waits for
// it on ov's event; the transferred count goes to *pCount.  The wait's
// deadline is the caller's: a write has the dialog's timer that runs while
// the worker writes, a reader's request completes at once or, for the
// wait-event request, when the port is closed (common/globals.h).  FALSE when the
// request failed, could not be issued (a write after the shut), or the port
// was closed before its result could be read.
template <class IssueFn>
BOOL PortRequest(OVERLAPPED* pOv, DWORD* pCount, bool bWrite, IssueFn issue)
{
    if (!EnterOpenPort(bWrite)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HANDLE hEvent = pOv->hEvent;
    ZeroMemory(pOv, sizeof(*pOv));
    pOv->hEvent = hEvent;
    *pCount = 0;
    BOOL bOk = issue(hLinkPort, pOv, pCount);
    DWORD dwError = bOk ? ERROR_SUCCESS : GetLastError();
    LeavePort(bWrite);
    if (bOk) return TRUE;
    if (dwError != ERROR_IO_PENDING) return FALSE;
    WaitForSingleObject(hEvent, INFINITE);
    if (!EnterOpenPort()) return FALSE;
    bOk = GetOverlappedResult(hLinkPort, pOv, pCount, FALSE);
    LeavePort();
    return bOk;
}
