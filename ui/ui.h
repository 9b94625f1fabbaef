// Operator interface: the progress dialog, the only window the user sees, the
// calls through which the update worker shows its progress in it, and the
// shutdown of the desktop sync software.  The
// worker calls these from its own thread; they act on the dialog's windows,
// which the platform serves on the main thread.
#pragma once

#include <windows.h>

// Dialog procedure of template 102.  The initialisation value of the modal
// dialog call is the thread entry of the update worker, which the dialog
// starts once it has published its handles.
INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Moves a window so that its outer rectangle is centred on the primary screen.
void CenterWindow(HWND hWnd);

// Starts (or restarts) one of the dialog's timers (common/globals.h), or
// stops it.
void ArmDialogTimer(UINT idTimer, UINT uPeriodMs);
void StopDialogTimer(UINT idTimer);

// The data phase begins: bar range 0 to the file size, bar and percentage at
// 0, and the arrow cursor instead of the hourglass, without waiting for the
// mouse to move.
void BeginProgress(DWORD dwFileSize);

// Bytes went out: the bar moves on by that many and the percentage follows.
void AdvanceProgress(DWORD dwBytes, DWORD dwFileSize);

// Shows a percentage.
void ShowPercent(UINT uPercent);

// Moves the dialog to the screen's corner at zero size, out of sight, before
// the box that ends the run.
void ShrinkProgressDialog();

// Ends the dialog with a result (1: the update finished).
void EndProgressDialog(INT_PTR result);

// Ends the desktop sync software, which would otherwise hold the handheld's
// port, by its two window titles; the searches are independent.
void StopSyncManager();
