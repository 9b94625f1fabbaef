// Entry point: one run of the update per start, exit code 0 on every path.
#include "shell/shell.h"

#include <commctrl.h>

#include "link/port_lock.h"
#include "log/runlog.h"

// Makes sure the progress bar's window class exists before dialog 102 is
// created; the manifest selects common controls 6 for it.
static void RegisterProgressBarClass()
{
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
}

// Registers the class, loads the texts, runs the main window, and returns 0:
// the quit request carries 0, and a failing message loop must not turn a
// stale wParam into an exit code.  Arguments other than hInstance change
// nothing.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    RegisterMainWindowClass(hInstance);
    RegisterProgressBarClass();
    InitPortLock();
    InitRunLog();
    LoadMessageCatalogue();
    if (!CreateMainWindow(hInstance)) return 0;
    MSG msg = {};
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
