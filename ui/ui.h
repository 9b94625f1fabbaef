// Operator interface: the progress dialog and the sync-manager shutdown.
#pragma once

#include <windows.h>

// Dialog procedure of template 102.
INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Moves a window so that its outer rectangle is centred on the primary screen.
void CenterWindow(HWND hWnd);

// Ends the desktop sync software by its two window titles.
void StopSyncManager();

// Terminates the process owning the first unowned top-level window below the
// main window whose title is exactly szTitle.
void KillProcessByWindowTitle(const char* szTitle);
