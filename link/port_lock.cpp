// The port lock; see port_lock.h.
#include "link/port_lock.h"

#include "log/runlog.h"

// Guards hLinkPort and bPortOpen between the worker and the reader.
static CRITICAL_SECTION csPort;

// True while hLinkPort is an open handle; guarded by csPort.
static bool bPortOpen = false;

// True once the run has ended and nothing more may be written; guarded by
// csPort, so that the shut and the issue of a write exclude each other.
static bool bWritesShut = false;

void InitPortLock()
{
    InitializeCriticalSection(&csPort);
}

void PublishPort(HANDLE hPort, void (*configure)(HANDLE hPort))
{
    EnterCriticalSection(&csPort);
    hLinkPort = hPort;
    bPortOpen = hPort != INVALID_HANDLE_VALUE;
    if (bPortOpen) configure(hPort);
    LeaveCriticalSection(&csPort);
}

bool EnterOpenPort(bool bWrite)
{
    EnterCriticalSection(&csPort);
    if (bPortOpen && !(bWrite && bWritesShut)) return true;
    LeaveCriticalSection(&csPort);
    return false;
}

void LeavePort()
{
    LeaveCriticalSection(&csPort);
}

bool PortIsOpen()
{
    if (!EnterOpenPort()) return false;
    LeavePort();
    return true;
}

bool ClosePortOnce()
{
    if (!EnterOpenPort()) return false;
    CloseHandle(hLinkPort);
    bPortOpen = false;
    LeavePort();
    LogEvent("port closed");
    return true;
}

bool ShutPortWrites()
{
    EnterCriticalSection(&csPort);
    bool bFirst = !bWritesShut;
    bWritesShut = true;
    LeaveCriticalSection(&csPort);
    return bFirst;
}

bool PortWritesShut()
{
    EnterCriticalSection(&csPort);
    bool bShut = bWritesShut;
    LeaveCriticalSection(&csPort);
    return bShut;
}
