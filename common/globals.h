// The state that the tool's three threads share, and how they meet.
//
// Who starts whom
//   main thread   WinMain -> main window's WM_CREATE -> modal progress dialog;
//                 the dialog's WM_INITDIALOG starts the update worker, handed
//                 over by the shell.  The main thread then only runs the
//                 dialog's modal loop: timers, the worker's sent messages.
//   worker        UpdateWorker: sync software, pauses, image, port (opened,
//                 closed, opened), then starts the reply reader.
//   reader        UsbReaderThread: device events and reads on the port.
//   No thread is ever joined; worker and reader end with the process.
//
// Hand-offs
//   bReaderReady  reader -> worker: set once the reader's first arm request
//                 was made; the worker sends nothing before it.
//   replies       reader -> worker, through link/replies.h only: each reply
//                 the handheld sends whole, however the reads cut it, and a
//                 latched ROM-size reply; one snapshot at a time, in the
//                 order that link/reply_handoff.h justifies.
//   timers        worker -> dialog: armed and stopped by the worker, expiring
//                 on the main thread (the table below).
//   the run's end whoever ends the run claims it first (link/run_end.h): the
//                 worker before its box or "Flash Done!", the dialog before a
//                 timer's box.  From the claim on nothing more reaches the
//                 device (no open, setting, reader request or write), and a
//                 second claimant shows nothing: every run shows one box.
//   boxes         the worker's boxes block the worker only; after an error box
//                 it sends WM_CLOSE to hMainWnd, which the main thread handles
//                 inside the dialog's modal loop: the main window goes, the
//                 quit request ends the modal loop and then the program.
//   bFlashDone, bStopReader  worker -> main -> reader after a finished update.
//
// How each thread ends
//   worker  after "Flash Done!" or its error box: frees its buffers, closes
//           the port, ends.  When a timer fires while it waits, the dialog
//           has claimed the end: the worker's next look sees RunEnded(), it
//           leaves the wait and ends the same way without a box.
//   reader  a device request fails (the port was closed or shut, the
//           handheld went away), or bStopReader at the start of a cycle:
//           closes the port (once) and ends.
//   main    the dialog ends (1 after "Flash Done!", 2 after a timer's box, or
//           the quit request after an error box); the main window closes and
//           WinMain returns 0.
//
// Every global names its writer and its readers.  Flags that cross threads
// are atomics, so a poll always sees the other thread's latest store and the
// order of the stores is kept.
#pragma once

#include <windows.h>

#include <atomic>

// Waits and their deadlines: every wait of the tool is here, and the code
// names the constant it waits by.  Nothing waits without a deadline.
//
//   what waits                            deadline
//   worker, after the sync software       SYNC_RELEASE_PAUSE_MS (fixed pause)
//   worker, after the image is opened     SYNC_RELEASE_PAUSE_MS (fixed pause)
//   worker: the port's two opens, their   TIMER_PORT: armed before the first
//     settings, the reader's start          open; a driver that takes tens of
//                                           ms a request still fits
//   worker: the connect byte's write and  TIMER_HANDSHAKE: armed before the
//     the ready reply                       byte goes out
//   worker: the image's head, the length  TIMER_WATCHDOG: armed before the
//     word, each block's write, each        head is read, again before the
//     block request                         word and at each request
//   worker, between two looks at replies  the reader's wake-up, or
//                                           REPLY_WAIT_MS at most
//   worker, a port call while the reader  the timer that runs (a driver that
//     holds the port lock                   holds a request ends the run)
//   reader: arm, cycle end, reads         complete at once (the read
//                                           time-outs); if a driver holds
//                                           one, the worker's timer that runs
//   reader: the wait-event request        the handheld's next bytes, or the
//                                           port's close, which every end of
//                                           a run makes
//   main: the run's claim                 SHUT_WAIT_MS for a request being
//                                           issued, then it shuts without it
//   any thread: the log's lock            LOG_WAIT_MS, then the line is left
//                                           out (a log on a stalled share)
//   boxes, and the worker after the end   the user's OK, which ends the
//                                           process
constexpr DWORD SYNC_RELEASE_PAUSE_MS = 1000;
constexpr UINT TIMER_WATCHDOG = 1, TIMER_HANDSHAKE = 2, TIMER_PORT = 3; // ids on the dialog
constexpr UINT TIMER_PORT_MS = 10000;
constexpr UINT TIMER_HANDSHAKE_MS = 1000;
constexpr UINT TIMER_WATCHDOG_MS = 30000;
constexpr DWORD REPLY_WAIT_MS = 1000;
constexpr DWORD SHUT_WAIT_MS = 100;
constexpr DWORD LOG_WAIT_MS = 100;

// Size of the catalogue buffer for the progress message, terminator included.
constexpr int PROGRESS_TEXT_SIZE = 256;

// Module instance; written by CreateMainWindow before the main window exists,
// read by the main window's WM_CREATE to load dialog 102.
extern HINSTANCE hInst;

// Hidden main window of class "SETUP"; written first thing in its WM_CREATE and
// never cleared.  Read by the worker (owner of some boxes, target of WM_CLOSE)
// and by the sync-manager shutdown (start of its window walk).
extern HWND hMainWnd;

// Progress dialog; written in WM_INITDIALOG before the worker starts, never
// cleared.  Read by the worker for timers, progress, message-box ownership
// and the end of the dialog.
extern HWND hProgressDlg;

// Catalogue text 11034; written once by LoadMessageCatalogue before any other
// thread exists, read by the dialog's WM_INITDIALOG.
extern char szProgressText[PROGRESS_TEXT_SIZE];

// The open USB serial device; written by the port's open under the port lock
// (INVALID_HANDLE_VALUE after a failed open).  Used under that lock by the
// worker for writes and by the reader for its requests and reads; closed
// once, by ClosePortOnce, whichever gets there first.
extern HANDLE hLinkPort;

// 1 once the reader has made its first arm request; set by the reader,
// polled by the worker before its first byte; never cleared.
extern std::atomic<int> bReaderReady;

// Asks the reader to end at the start of its next cycle; cleared by the worker
// before the reader starts, set by the main window after a finished update.
extern std::atomic<int> bStopReader;

// Set by the image transfer just before "Flash Done!"; read by the main window
// when the dialog returns 1.
extern std::atomic<int> bFlashDone;
