// How a run ends: once, and on an error with one box, after which the main
// window is closed, which ends the dialog's modal loop and the program.
#include "shell/run_end.h"

#include <cstdarg>
#include <cstdio>

#include "common/globals.h"
#include "link/port_lock.h"
#include "link/replies.h"
#include "log/runlog.h"

// The claim is the port's write shut: it can't fall between a write's check
// and its issue, and it never waits for the port lock, so the dialog's timer
// reaction can't be held up by a driver request another thread is making.
bool ClaimRunEnd()
{
    bool bFirst = ShutPortWrites();
    WakeWorker(); // so that it leaves its wait now
    return bFirst;
}

bool RunEnded()
{
    return PortWritesShut();
}

void EndRunWithError(HWND hOwner, const char* szText, const char* szCaption,
                     const char* szCauseFormat, ...)
{
    if (!ClaimRunEnd()) return;
    char szCause[256];
    va_list args;
    va_start(args, szCauseFormat);
    vsnprintf(szCause, sizeof(szCause), szCauseFormat, args);
    va_end(args);
    LogEnd("%s", szCause);
    MessageBoxA(hOwner, szText, szCaption, MB_OK);
    SendMessageA(hMainWnd, WM_CLOSE, 0, 0);
}
