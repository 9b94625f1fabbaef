// Ends the desktop sync software, which would otherwise hold the handheld's
// port, by terminating the processes that own its windows.
#include "ui/ui.h"

#include "common/globals.h"
#include "log/runlog.h"

// Access asked of the sync software's process: PROCESS_ALL_ACCESS as the
// older headers define it, which every Windows version grants.
static constexpr DWORD SYNC_PROCESS_ACCESS = 0x001F0FFF;

// Exit code given to a terminated sync process.
static constexpr UINT SYNC_EXIT_CODE = 0;

// Title buffer size; longer titles take part with their first 99 characters.
static constexpr int TITLE_BUFFER_SIZE = 100;

// Terminates the process owning the first unowned top-level window below the
// main window in the Z order whose title is exactly szTitle (case-sensitive):
// only the first match counts.
static void KillProcessByWindowTitle(const char* szTitle)
{
    for (HWND hWnd = GetWindow(hMainWnd, GW_HWNDNEXT); hWnd != nullptr;
         hWnd = GetWindow(hWnd, GW_HWNDNEXT)) {
        if (GetParent(hWnd) != nullptr) continue;
        DWORD dwProcessId = 0;
        GetWindowThreadProcessId(hWnd, &dwProcessId);
        HANDLE hProcess = OpenProcess(SYNC_PROCESS_ACCESS, FALSE, dwProcessId);
        char szText[TITLE_BUFFER_SIZE] = "";
        GetWindowTextA(hWnd, szText, TITLE_BUFFER_SIZE);
        bool bMatch = lstrcmpA(szText, szTitle) == 0;
        if (bMatch) {
            BOOL bEnded = TerminateProcess(hProcess, SYNC_EXIT_CODE);
            LogEvent("sync software: window \"%s\" found, process %lu %s", szTitle, dwProcessId,
                     bEnded ? "ended" : "could not be ended");
        }
        if (hProcess != nullptr) CloseHandle(hProcess);
        if (bMatch) return;
    }
    LogEvent("sync software: no window \"%s\"", szTitle);
}

void StopSyncManager()
{
    KillProcessByWindowTitle("DccMan");
    KillProcessByWindowTitle("WCES Manager Thunk Window");
}
