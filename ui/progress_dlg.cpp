// The progress dialog: the only window the user sees.  It starts the update
// worker, shows the wait cursor until the data phase, swallows every command
// so the user can't end it, and ends the run when a worker timer expires.
#include "ui/ui.h"

#include "common/globals.h"
#include "flash/flash.h"
#include "res/resource.h"
#include "ui/centering.h"

// Result of the dialog when one of the worker's timers expired.
static constexpr INT_PTR DLG_RESULT_LOST = 2;

// Centres the window on the whole primary screen, keeping its size.
void CenterWindow(HWND hWnd)
{
    int cxScreen = GetSystemMetrics(SM_CXSCREEN);
    int cyScreen = GetSystemMetrics(SM_CYSCREEN);
    RECT rc = {};
    GetWindowRect(hWnd, &rc);
    int cx = rc.right - rc.left;
    int cy = rc.bottom - rc.top;
    MoveWindow(hWnd, CenteredOrigin(cxScreen, cx), CenteredOrigin(cyScreen, cy), cx, cy, FALSE);
}

// WM_INITDIALOG: shows the message, publishes the handles, centres, and starts
// the worker.  A worker that can't be started would leave a dialog nobody can
// close, so that is said in a box and the dialog ends.
static INT_PTR OnInitDialog(HWND hDlg)
{
    SetDlgItemTextA(hDlg, IDC_MESSAGE, szProgressText);
    hProgressDlg = hDlg;
    hProgressBar = GetDlgItem(hDlg, IDC_PROGRESS_BAR);
    CenterWindow(hDlg);
    HANDLE hThread = CreateThread(nullptr, 0, UpdateWorker, nullptr, 0, nullptr);
    if (hThread == nullptr) {
        MessageBoxA(hDlg, "Can't start the update", "Error", MB_OK);
        EndDialog(hDlg, 0);
        return TRUE;
    }
    CloseHandle(hThread);
    return TRUE;
}

// WM_TIMER: the handheld went quiet.  Stops that timer, shrinks the dialog out
// of sight, says so, and ends the dialog.
static INT_PTR OnTimer(HWND hDlg, WPARAM idTimer)
{
    KillTimer(hProgressDlg, idTimer);
    MoveWindow(hProgressDlg, 0, 0, 0, 0, TRUE);
    MessageBoxA(hProgressDlg, "Lost USB connection!", "Error", MB_OK);
    EndDialog(hDlg, DLG_RESULT_LOST);
    return FALSE;
}

// WM_SETCURSOR: the hourglass while the worker prepares, the arrow afterwards.
// The message result TRUE also stops a child control (the bar) from putting
// its own class cursor back over the dialog.
static INT_PTR OnSetCursor(HWND hDlg)
{
    SetCursor(LoadCursorA(nullptr, bBusyCursor.load() ? IDC_WAIT : IDC_ARROW));
    SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, TRUE);
    return TRUE;
}

// Dialog procedure of template 102.
INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM)
{
    switch (uMsg) {
    case WM_SETCURSOR:
        return OnSetCursor(hDlg);
    case WM_INITDIALOG:
        return OnInitDialog(hDlg);
    case WM_COMMAND:
        return TRUE; // Enter, Escape and Alt+F4 must not end the dialog
    case WM_TIMER:
        return OnTimer(hDlg, wParam);
    default:
        return FALSE;
    }
}
