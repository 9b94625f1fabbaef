// How a run ends; see run_end.h.
#include "link/run_end.h"

#include <cstdarg>
#include <cstdio>

#include "common/globals.h"
#include "link/port_lock.h"
#include "link/replies.h"
#include "log/runlog.h"

// The claim is the device's shut: it can't fall between a request's check
// and its issue, and it waits SHUT_WAIT_MS at most, so the dialog's timer
// reaction can't be held up by a driver request another thread is making.
bool ClaimRunEnd()
{
    bool bFirst = ShutDevice();
    WakeWorker(); // so that it leaves its wait now
    return bFirst;
}

bool RunEnded()
{
    return DeviceShut();
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
