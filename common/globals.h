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
//   ReplyBuffer   reader -> worker: the latest reply pair in bytes 0 and 1,
//                 and RomReplyLatch, which keeps a ROM-size reply that a block
//                 request right behind it overwrote.  The worker decides on
//                 one snapshot of both, taken in the order that
//                 link/reply_handoff.h justifies, and takes a reply by
//                 clearing bytes 0 and 1; hReplyEvent wakes it.
//   timers        worker -> dialog: TIMER_HANDSHAKE from the port's first
//                 open to the ready reply (armed again at the connect byte),
//                 TIMER_WATCHDOG from the image's head to the last block,
//                 armed and stopped by the worker, expiring on the main thread.
//   the run's end whoever ends the run claims it first (ClaimRunEnd): the
//                 worker before its box or "Flash Done!", the dialog before
//                 "Lost USB connection!".  From the claim on no new
//                 write is issued to the handheld, and a second claimant shows
//                 nothing: every run shows exactly one box.
//   boxes         the worker's boxes block the worker only; after an error box
//                 it sends WM_CLOSE to hMainWnd, which the main thread handles
//                 inside the dialog's modal loop: the main window goes, the
//                 quit request ends the modal loop and then the program.
//   bFlashDone, bStopReader  worker -> main -> reader after a finished update.
//
// How each thread ends
//   worker  after "Flash Done!" or its error box: frees its buffer, closes the
//           port, ends.  When a timer fires while it waits (for the reader,
//           the ready reply, a block request), the dialog has claimed the
//           end: the worker's next look sees RunEnded(), it leaves the wait
//           and ends the same way without a box; a write it tries fails.
//   reader  a device request fails (the port was closed, the handheld went
//           away), or bStopReader at the start of a cycle: closes the port
//           (once) and ends.
//   main    the dialog ends (1 after "Flash Done!", 2 after a timer's box, or
//           the quit request after an error box); the main window closes and
//           WinMain returns 0.
//
// Waits and their deadlines (nothing waits without one)
//   worker  the two 1 s pauses: fixed.  The opens of the port and the
//           reader's start: TIMER_HANDSHAKE, armed before the first open.  The
//           connect byte's write and the ready reply: TIMER_HANDSHAKE, armed
//           again before the byte.  The image's head and deferred block:
//           TIMER_WATCHDOG, armed before they are read.
//           The length word, every block's write and every block request:
//           TIMER_WATCHDOG, armed before the word and again at each request.
//           Between two looks at the replies it sleeps on hReplyEvent, which
//           each stored pair and the run's end set (REPLY_WAIT_MS at most),
//           and leaves once RunEnded().  Its boxes wait for the user; WM_CLOSE
//           and the dialog's messages are served by the main thread's modal
//           loop, which never waits on the worker.  If a driver holds a
//           request while the worker or the reader issues it under the port
//           lock, the timer that runs still ends the run: the claim never
//           waits for the port lock (link/port_lock.cpp).
//   reader  the arm, cycle-end and read requests complete at once (the read
//           time-outs make a read return with what has come); if a driver
//           holds one, the worker's TIMER_HANDSHAKE or TIMER_WATCHDOG still
//           ends the run.  The wait-event request pends until the handheld
//           sends or the port is closed, which every end of a run does.
//   main    the timer's box waits for the user; the claim waits for a write
//           being issued, 100 ms at most (link/port_lock.cpp); nothing else.
//
// Every global names its writer and its readers.  Flags and reply bytes that
// cross threads are atomics, so a poll always sees the other thread's latest
// store and the order of the stores is kept.
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

// Code of the latest ROM-size reply the reader stored since the worker last
// cleared it (before the length word); 0 if none.  A next-block reply that
// follows at once overwrites bytes 0 and 1, but not this.
extern std::atomic<BYTE> RomReplyLatch;

// Signalled (auto-reset) by the reader each time it has stored a pair and
// once when it runs, and by whoever claims the run's end; the worker sleeps on
// it while it waits for a reply.  Made by the worker before the reader starts
// (null until then), read by the reader and the main thread.
extern std::atomic<HANDLE> hReplyEvent;

// Where the reader stores the next pair; only ever pointed at ReplyBuffer's
// start, by the reader and by the worker when it takes a reply.
extern std::atomic<std::atomic<BYTE>*> pReplyWrite;

// 1 once the reader has made its first arm request; set by the reader,
// polled by the worker before its first byte; never cleared.
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
