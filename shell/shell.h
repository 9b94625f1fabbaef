// Application shell: entry, the hidden main window that carries the run, and
// the message catalogue.
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
