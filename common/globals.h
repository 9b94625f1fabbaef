// The state that the tool's three threads share: the main (user-interface)
// thread, the update worker and the reply reader.  Every global names its
// writer and its readers.  Flags and reply bytes that cross threads are
// atomics, so a poll always sees the other thread's latest store and the
// order of the stores is kept.
#pragma once

#include <windows.h>

#include <atomic>

// Size of the buffer into which the reader stores the handheld's replies.
constexpr int REPLY_BUFFER_SIZE = 1000;

// Size of the catalogue buffer for the progress message, terminator included.
constexpr int PROGRESS_TEXT_SIZE = 256;

// Module instance; written by CreateMainWindow before the main window exists,
// read by the main window's WM_CREATE to load dialog 102.
extern HINSTANCE hInst;

// Hidden main window of class "SETUP"; written first thing in its WM_CREATE and
// never cleared.  Read by the worker (owner of some boxes, target of WM_CLOSE)
// and by the sync-manager shutdown (start of its window walk).
extern HWND hMainWnd;

// Progress dialog and its bar (control 1020); written in WM_INITDIALOG before
// the worker starts, never cleared.  Read by the worker for timers, progress,
// percentage, message-box ownership and the end of the dialog.
extern HWND hProgressDlg;
extern HWND hProgressBar;

// Catalogue text 11034; written once by LoadMessageCatalogue before any other
// thread exists, read by the dialog's WM_INITDIALOG.
extern char szProgressText[PROGRESS_TEXT_SIZE];

// The open USB serial device; written by OpenLinkPort (INVALID_HANDLE_VALUE
// after a failed open).  Used by the worker for writes and by the reader for
// its requests and reads; closed once, by ClosePortOnce, whichever gets there
// first.
extern HANDLE hLinkPort;

// Latest reply pair from the handheld in bytes 0 and 1; stored by the reader,
// polled and cleared by the worker.
extern std::atomic<BYTE> ReplyBuffer[REPLY_BUFFER_SIZE];

// Where the reader stores the next pair; only ever pointed at ReplyBuffer's
// start, by the reader and by the worker when it takes a reply.
extern std::atomic<std::atomic<BYTE>*> pReplyWrite;

// 1 once the reader has created its event; set by the reader, polled by the
// worker before its first byte; never cleared.
extern std::atomic<int> bReaderReady;

// Asks the reader to end at the start of its next cycle; cleared by the worker
// before the reader starts, set by the main window after a finished update.
extern std::atomic<int> bStopReader;

// Set by the image transfer just before "Flash Done!"; read by the main window
// when the dialog returns 1.
extern std::atomic<int> bFlashDone;

// 1 while the dialog shows the wait cursor; cleared once by the image transfer
// when the data phase begins, read by the dialog's WM_SETCURSOR.
extern std::atomic<int> bBusyCursor;

// The image transfer's 262,144-byte buffers: pChunkBuf holds the head and then
// each body block (freed by RunFlashUpdate), pDeferredBuf the deferred block
// (freed by TransferImage).  Worker thread only.
extern BYTE* pChunkBuf;
extern BYTE* pDeferredBuf;

// Name of the image in the current directory; set by RunFlashUpdate.
extern const char* szImagePath;
