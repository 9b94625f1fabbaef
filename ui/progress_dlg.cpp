// The progress dialog: it starts the update worker, shows the wait cursor until
// the data phase, swallows every command so the user can't end it, and ends
// the run when one of the worker's timers expires.
#include "ui/ui.h"

#include <commctrl.h>

#include "common/globals.h"
#include "link/run_end.h"
#include "log/runlog.h"
#include "res/resource.h"
#include "ui/dialog_math.h"

// Result of the dialog when one of the worker's timers expired.
static constexpr INT_PTR DLG_RESULT_LOST = 2;

// The progress bar (control 1020); set in WM_INITDIALOG before the worker
// starts, then used by the worker's progress calls.
static HWND hProgressBar = nullptr;

// Where the bar stands: only the worker moves it, so it needs no reading back
// (each read is a round trip to the main thread, between two blocks).
static DWORD dwBarPosition = 0;

// 1 while the dialog shows the wait cursor; cleared once by the worker when
// the data phase begins, read by WM_SETCURSOR on the main thread.
static std::atomic<int> bBusyCursor{1};

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

void ArmDialogTimer(UINT idTimer, UINT uPeriodMs)
{
    SetTimer(hProgressDlg, idTimer, uPeriodMs, nullptr);
}

void StopDialogTimer(UINT idTimer)
{
    KillTimer(hProgressDlg, idTimer);
}

void BeginProgress(DWORD dwFileSize)
{
    SendMessageA(hProgressBar, PBM_SETRANGE32, 0, static_cast<LPARAM>(dwFileSize));
    dwBarPosition = 0;
    SendMessageA(hProgressBar, PBM_SETPOS, 0, 0);
    ShowPercent(0);
    bBusyCursor.store(0);
    PostMessageA(hProgressDlg, WM_SETCURSOR, 0, 0);
}

// The bar's position is the count of bytes sent, never beyond its range.
void AdvanceProgress(DWORD dwBytes, DWORD dwFileSize)
{
    dwBarPosition = dwFileSize - dwBarPosition < dwBytes ? dwFileSize : dwBarPosition + dwBytes;
    SendMessageA(hProgressBar, PBM_SETPOS, dwBarPosition, 0);
    ShowPercent(ProgressPercent(dwBarPosition, dwFileSize));
}

void ShowPercent(UINT uPercent)
{
    SetDlgItemInt(hProgressDlg, IDC_PERCENT, uPercent, FALSE);
}

void ShrinkProgressDialog()
{
    MoveWindow(hProgressDlg, 0, 0, 0, 0, TRUE);
}

void EndProgressDialog(INT_PTR result)
{
    EndDialog(hProgressDlg, result);
}

// WM_INITDIALOG: shows the message, publishes the handles, centres, and starts
// the worker handed over as the initialisation value.  A worker that can't be
// started would leave a dialog nobody can close, so that is said in a box and
// the dialog ends.
static INT_PTR OnInitDialog(HWND hDlg, LPARAM lParam)
{
    SetDlgItemTextA(hDlg, IDC_MESSAGE, szProgressText);
    hProgressDlg = hDlg;
    hProgressBar = GetDlgItem(hDlg, IDC_PROGRESS_BAR);
    CenterWindow(hDlg);
    auto pWorker = reinterpret_cast<LPTHREAD_START_ROUTINE>(lParam);
    HANDLE hThread = CreateThread(nullptr, 0, pWorker, nullptr, 0, nullptr);
    if (hThread == nullptr) {
        MessageBoxA(hDlg, "Can't start the update", "Error", MB_OK);
        EndDialog(hDlg, 0);
        return TRUE;
    }
    CloseHandle(hThread);
    return TRUE;
}

// WM_TIMER: the handheld went quiet, or the port never came up.  The run's
// end is claimed before anything else, so that nothing more reaches the
// device and the worker leaves its waits; a timer that fires after the
// worker ended the run shows nothing.  The expired timer is stopped, so it
// can't fire again while the box is up.  A port that never came up has had
// nothing of the image: re-plugging and running again is all it takes.
static INT_PTR OnTimer(HWND hDlg, WPARAM idTimer)
{
    bool bFirst = ClaimRunEnd();
    KillTimer(hDlg, idTimer);
    if (!bFirst) return FALSE;
    LogText cause = TimerEndCause(static_cast<UINT>(idTimer));
    ShrinkProgressDialog();
    MessageBoxA(hDlg,
                idTimer == TIMER_PORT ? "Can't open USB port.\r\nPlease re-plug in USB cable, then rerun host program."
                                      : "Lost USB connection!",
                "Error", MB_OK);
    LogEnd("%s", cause.sz); // after the box: a log on a stalled share can't hold it
    EndDialog(hDlg, DLG_RESULT_LOST);
    return FALSE;
}

// WM_SETCURSOR: the result TRUE also stops a child control (the bar) from
// putting its own class cursor back over the dialog.
static INT_PTR OnSetCursor(HWND hDlg)
{
    SetCursor(LoadCursorA(nullptr, bBusyCursor.load() ? IDC_WAIT : IDC_ARROW));
    SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, TRUE);
    return TRUE;
}

INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_SETCURSOR:
        return OnSetCursor(hDlg);
    case WM_INITDIALOG:
        return OnInitDialog(hDlg, lParam);
    case WM_COMMAND:
        return TRUE; // Enter, Escape and Alt+F4 must not end the dialog
    case WM_TIMER:
        return OnTimer(hDlg, wParam);
    default:
        return FALSE;
    }
}
