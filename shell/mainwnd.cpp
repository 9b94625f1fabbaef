// The hidden main window.  Its WM_CREATE opens the progress dialog modally, so
// the whole update runs inside the window's creation; any thread ends the run
// by sending it WM_CLOSE.
#include "shell/shell.h"

#include "common/globals.h"
#include "flash/flash.h"
#include "res/resource.h"
#include "ui/ui.h"

// A failed registration shows later as a window that can't be created.
void RegisterMainWindowClass(HINSTANCE hInstance)
{
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = hInstance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = SZ_MAIN_CLASS;
    RegisterClassExA(&wc);
}

// The window's WM_CREATE runs the update and destroys the window again, so
// only hMainWnd tells whether it ever existed.
int CreateMainWindow(HINSTANCE hInstance)
{
    hInst = hInstance;
    if (FindWindowA(SZ_MAIN_CLASS, nullptr) != nullptr) return 0;
    CreateWindowExA(0, SZ_MAIN_CLASS, SZ_MAIN_CLASS, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr,
                    nullptr, hInstance, nullptr);
    return hMainWnd != nullptr ? 1 : 0;
}

// WM_CREATE: runs the progress dialog, handing it the update worker to start,
// then closes the window whatever the dialog's result; a finished update also
// stops the reader.
static LRESULT OnCreate(HWND hWnd)
{
    hMainWnd = hWnd;
    INT_PTR result = DialogBoxParamA(hInst, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr,
                                     ProgressDlgProc, reinterpret_cast<LPARAM>(UpdateWorker));
    if (result == 1 && bFlashDone.load() != 0) bStopReader.store(1);
    SendMessageA(hMainWnd, WM_CLOSE, 0, 0);
    return 0;
}

LRESULT CALLBACK MainWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_CREATE:
        return OnCreate(hWnd);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }
}
