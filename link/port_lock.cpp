// The port lock; see port_lock.h.
#include "link/port_lock.h"

#include <atomic>

#include "log/runlog.h"

// Guards hLinkPort and bPortOpen between the worker and the reader, and makes
// the shut and a request's check-and-issue exclude each other.
static CRITICAL_SECTION csPort;

// True while hLinkPort is an open handle; guarded by csPort.
static bool bPortOpen = false;

// True once the run has ended and nothing more may reach the device; set by
// ShutDevice, under csPort unless a request held it past SHUT_WAIT_MS.
static std::atomic<bool> bDeviceShut{false};

void InitPortLock()
{
    InitializeCriticalSection(&csPort);
}

bool EnterOpenPort(bool bIssue)
{
    EnterCriticalSection(&csPort);
    if (bPortOpen && !(bIssue && bDeviceShut.load())) return true;
    LeaveCriticalSection(&csPort);
    return false;
}

void LeavePort()
{
    LeaveCriticalSection(&csPort);
}

HANDLE OpenPortUnlessShut(HANDLE (*open)(), void (*configure)(HANDLE hPort))
{
    EnterCriticalSection(&csPort);
    HANDLE hPort = bDeviceShut.load() ? nullptr : open();
    DWORD dwError = GetLastError();
    if (hPort != nullptr && hPort != INVALID_HANDLE_VALUE) {
        configure(hPort);
        if (bDeviceShut.load()) { // the run ended during the settings
            CloseHandle(hPort);
            hPort = nullptr;
        }
    }
    if (hPort != nullptr) hLinkPort = hPort;
    bPortOpen = hPort != nullptr && hPort != INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&csPort);
    SetLastError(dwError);
    return hPort;
}

bool ClosePortOnce()
{
    if (!EnterOpenPort(false)) return false;
    CloseHandle(hLinkPort);
    bPortOpen = false;
    LeavePort();
    LogEvent("port closed");
    return true;
}

bool ShutDevice()
{
    // Deadline: SHUT_WAIT_MS.  The lock is free at once unless a request is
    // being issued, so the pause between tries is almost never taken.
    BOOL bLocked = FALSE;
    for (DWORD dwStart = GetTickCount();
         !(bLocked = TryEnterCriticalSection(&csPort)) && GetTickCount() - dwStart < SHUT_WAIT_MS;)
        Sleep(1);
    bool bFirst = !bDeviceShut.exchange(true);
    if (bLocked) LeaveCriticalSection(&csPort);
    return bFirst;
}

bool DeviceShut()
{
    return bDeviceShut.load();
}
