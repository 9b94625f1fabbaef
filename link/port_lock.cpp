// The port lock; see port_lock.h.
#include "link/port_lock.h"

// Guards hLinkPort and bPortOpen between the worker and the reader.
static CRITICAL_SECTION csPort;

// True while hLinkPort is an open handle; guarded by csPort.
static bool bPortOpen = false;

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

bool EnterOpenPort()
{
    EnterCriticalSection(&csPort);
    if (bPortOpen) return true;
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
    return true;
}
