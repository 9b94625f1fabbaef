// Application shell: entry, the hidden main window that carries the run, the
// message catalogue, and the one way a run ends on an error.
#pragma once

#include <windows.h>

// Class name of the hidden main window, and at the same time the
// single-instance key.
constexpr char SZ_MAIN_CLASS[] = "SETUP";

// Fills every catalogue buffer from the executable's own string table.
void LoadMessageCatalogue();

// Registers the window class "SETUP" of the hidden main window.
void RegisterMainWindowClass(HINSTANCE hInstance);

// Creates the main window, whose creation runs the whole update; 1 to go on to
// the message loop, 0 to end at once.
int CreateMainWindow(HINSTANCE hInstance);

// Window procedure of class "SETUP".
LRESULT CALLBACK MainWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// The run ends once.  Whoever ends it first (the worker with its box, or the
// dialog when a timer expires) claims the end: from then on nothing more is
// written to the handheld, and whoever comes second shows nothing.  True for
// the first claim only.
bool ClaimRunEnd();

// True once the run's end has been claimed; the worker then leaves its waits.
bool RunEnded();

// Ends the run on an error, unless it has ended already: the log's end line
// with the exact cause (printf-style), a box with an OK button owned by
// hOwner, then a synchronous WM_CLOSE to the main window, which ends the
// program.  A null caption shows the system's default one.
void EndRunWithError(HWND hOwner, const char* szText, const char* szCaption,
                     const char* szCauseFormat, ...);
