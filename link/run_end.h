// How a run ends: once, whoever ends it, and on an error with one box after
// which the main window is closed, which ends the dialog's modal loop and the
// program.  It lives with the port because the end is the device's shut.
#pragma once

#include <windows.h>

// The run ends once.  Whoever ends it first (the worker with its box, or the
// dialog when a timer expires) claims the end: from then on nothing more
// reaches the device, the worker leaves its waits, and whoever comes second
// shows nothing.  True for the first claim only.
bool ClaimRunEnd();

// True once the run's end has been claimed.
bool RunEnded();

// Ends the run on an error, unless it has ended already: the log's end line
// with the exact cause (printf-style), a box with an OK button owned by
// hOwner, then a synchronous WM_CLOSE to the main window, which ends the
// program.  A null caption shows the system's default one.
void EndRunWithError(HWND hOwner, const char* szText, const char* szCaption,
                     const char* szCauseFormat, ...);
