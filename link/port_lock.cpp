// The port lock; see port_lock.h.
#include "link/port_lock.h"

#include <atomic>

#include "log/runlog.h"

// Guards hLinkPort and bPortOpen between the worker and the reader.
static CRITICAL_SECTION csPort;

// True while hLinkPort is an open handle; guarded by csPort.
static bool bPortOpen = false;

// True once the run has ended and nothing more may be written; set under
// csWriteIssue, read without a lock by RunEnded.
static std::atomic<bool> bWritesShut{false};

// Makes the shut and a write's check-and-issue exclude each other, so that no
// write goes out once the shut has been made.  Taken after csPort, and held
// only while an overlapped write is issued (which returns at once): the main
// thread, which makes the shut, never waits for csPort, where a driver that
// holds a request of the worker or the reader could keep it waiting.
static CRITICAL_SECTION csWriteIssue;

// Longest wait of the shut for a write being issued.  A driver that held the
// issue itself past it can't keep the dialog from ending the run: the shut is
// then made without the lock, and that one write may still go out.
static constexpr DWORD SHUT_WAIT_MS = 100;

void InitPortLock()
{
    InitializeCriticalSection(&csPort);
    InitializeCriticalSection(&csWriteIssue);
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
    if (!bPortOpen) {
        LeaveCriticalSection(&csPort);
        return false;
    }
    if (!bWrite) return true;
    EnterCriticalSection(&csWriteIssue);
    if (!bWritesShut.load()) return true;
    LeavePort(true);
    return false;
}

void LeavePort(bool bWrite)
{
    if (bWrite) LeaveCriticalSection(&csWriteIssue);
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
    // Deadline: SHUT_WAIT_MS.  The lock is free at once unless a write is
    // being issued, so the pause between tries is almost never taken.
    BOOL bLocked = FALSE;
    for (DWORD dwStart = GetTickCount();
         !(bLocked = TryEnterCriticalSection(&csWriteIssue)) && GetTickCount() - dwStart < SHUT_WAIT_MS;)
        Sleep(1);
    bool bFirst = !bWritesShut.exchange(true);
    if (bLocked) LeaveCriticalSection(&csWriteIssue);
    return bFirst;
}

bool PortWritesShut()
{
    return bWritesShut.load();
}
