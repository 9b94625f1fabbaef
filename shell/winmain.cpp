// Entry point: one run of the update per start, exit code 0 on every path.
#include "shell/shell.h"

#include <commctrl.h>

#include "link/port_lock.h"
#include "log/runlog.h"

// SetDefaultDllDirectories: Windows 8, and Windows Vista and 7 with
// KB2533623; looked up at run time so that Windows XP still starts.
typedef BOOL(WINAPI* PFNSETDEFAULTDLLDIRECTORIES)(DWORD);

// InitCommonControlsEx, taken from comctl32 once the DLL search is narrowed.
typedef BOOL(WINAPI* PFNINITCOMMONCONTROLSEX)(const INITCOMMONCONTROLSEX*);

// The tool is started from Downloads folders, where a DLL lying beside it or
// in the current folder must not be loaded instead of the system's: every DLL
// loaded from here on comes from the system folder.  Where Windows lacks
// that, the current folder at least leaves the search.
static void NarrowDllSearch()
{
    FARPROC pProc = GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    PFNSETDEFAULTDLLDIRECTORIES pSetDefaultDllDirectories =
        reinterpret_cast<PFNSETDEFAULTDLLDIRECTORIES>(reinterpret_cast<void*>(pProc));
    if (pSetDefaultDllDirectories == nullptr || !pSetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryA("");
}

// Makes sure the progress bar's window class exists before dialog 102 is
// created; the manifest selects common controls 6 for it.  comctl32 is not
// imported but loaded here, after NarrowDllSearch, so that it and the DLLs it
// brings (uxtheme among them) come from the system, not from the folder.
static void RegisterProgressBarClass()
{
    HMODULE hComctl = LoadLibraryA("comctl32.dll");
    FARPROC pProc = hComctl != nullptr ? GetProcAddress(hComctl, "InitCommonControlsEx") : nullptr;
    PFNINITCOMMONCONTROLSEX pInitCommonControlsEx =
        reinterpret_cast<PFNINITCOMMONCONTROLSEX>(reinterpret_cast<void*>(pProc));
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
    if (pInitCommonControlsEx != nullptr) pInitCommonControlsEx(&icc);
}

// Narrows the DLL search before anything else, registers the class, loads the
// texts, runs the main window, and returns 0: the quit request carries 0, and
// a failing message loop must not turn a stale wParam into an exit code.
// Arguments other than hInstance change nothing.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    NarrowDllSearch();
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
