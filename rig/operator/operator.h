// The operator: does to the tool what a person at the desktop would, from a
// process of its own, and reports what it saw.  Used by the Wine tests, the
// main job and the benchmark through the harness.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A started program: its process, its main thread, and its id.
struct OpProcess {
    HANDLE hProcess = nullptr;
    HANDLE hThread = nullptr;
    DWORD dwProcessId = 0;
};

// What the progress dialog shows.
struct OpDialog {
    std::string caption;
    std::string message;   // the message field
    std::string percent;   // the percentage
    int barPos = 0, barMax = 0;
    RECT rect = {};        // outer rectangle on the screen
    bool visible = false;
};

// What a message box shows.
struct OpBox {
    HWND hWnd = nullptr;
    std::string caption;
    std::string text;
    HWND hOwner = nullptr;
    std::string ownerClass; // read with the box: the owner may be gone later
};

// Converts a Unix path to the form Wine's programs take (Z: drive).
std::string OpWinePath(const std::string& unixPath);

// Starts a program in a chosen current directory, with no window of its own
// and these standard handles (inherited) when hStdIn is given; hProcess null
// on failure.
OpProcess OpLaunch(const std::string& exe, const std::string& args, const std::string& cwd,
                   HANDLE hStdIn = nullptr, HANDLE hStdOut = nullptr);

// Waits up to timeoutMs for the program to end; its exit code, or -1 when it
// was still running (then it is terminated).  Closes the handles.
long OpWaitExit(OpProcess& proc, DWORD timeoutMs);

// The top-level windows of a process, in Z order.
std::vector<HWND> OpTopWindows(DWORD dwProcessId);

// Waits up to timeoutMs for the process's progress dialog; null if none.
HWND OpFindDialog(DWORD dwProcessId, DWORD timeoutMs);

// Waits up to timeoutMs for a message box of the process; null if none.
HWND OpFindBox(DWORD dwProcessId, DWORD timeoutMs);

// Reads the dialog's texts, bar, rectangle and visibility.
OpDialog OpReadDialog(HWND hDlg);

// Reads one window's text, also another process's; empty if it is gone.
std::string OpReadText(HWND hWnd);

// Reads a message box's caption, text and owner.
OpBox OpReadBox(HWND hBox);

// Clicks the box's OK button.
void OpPressOk(HWND hBox);

// Presses a key on a window as the keyboard would: VK_RETURN, VK_ESCAPE, or
// VK_F4 with bAlt for Alt+F4.
void OpPressKey(HWND hWnd, UINT vk, bool bAlt);

// Moves the pointer to the middle of a window and names the cursor shown
// there: "wait", "arrow", "other:<w>x<h>@<x>,<y>#<hash>" or "unknown".
std::string OpCursorOver(HWND hWnd);

// Names the cursor shape shown now, without moving the pointer.
std::string OpCursorNow();

// The X screen's size, read from the X server itself: a Wine process's own
// idea of the screen can be stuck at 1 x 0 when it started while another
// process of the prefix rewrote the display's records.
SIZE OpScreenSize();

// Output of a Linux shell command, run through /bin/sh; empty if it failed.
std::string OpUnixOutput(const std::string& command);

// Saves a picture of the whole screen (Xvfb's) to a PNG file; false on failure.
bool OpScreenshot(const std::string& unixPngPath);

// Names a box's owner: "dialog" (the tool's dialog), "main", or "none".
std::string OpOwnerName(const OpBox& box, HWND hDialog);

// Writes CR and LF as \r and \n, so a text fits on one line.
std::string OpEscape(const std::string& text);

// One line describing a box, for logs and assertions.
std::string OpDescribeBox(const OpBox& box, HWND hDialog);
