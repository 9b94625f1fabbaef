// The port lock; see port_lock.h.
#include "link/port_lock.h"

#include <atomic>

#include "log/runlog.h"

// Guards hLinkPort and bPortOpen between the worker and the reader.
static CRITICAL_SECTION csPort;

// True while hLinkPort is an open handle; guarded by csPort.
static bool bPortOpen = false;

// True once the run has ended and nothing more may be written.  Set without
// the lock, so that the main thread never waits for a request that the other
// threads are issuing; a write checks it under the lock just before its issue.
static std::atomic<bool> bWritesShut{false};

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
    if (bPortOpen && !(bWrite && bWritesShut.load())) return true;
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
    return !bWritesShut.exchange(true);
}

bool PortWritesShut()
{
    return bWritesShut.load();
}
