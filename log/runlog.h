// The run log: each run appends a plain-text record to quenlow.log in the
// folder the tool was started from, one line per event, each led by the
// milliseconds since the start, and ends with one line that names exactly how
// the run ended ("end: ...").  The log never changes the run: a log that
// can't be opened or written is left out, lines are written between the
// exchange's steps, and nothing is written after the end line.  Any thread
// may log; the log has a lock of its own, which no thread waits for longer
// than LOG_WAIT_MS (a line that can't wait is left out).
#pragma once

#include <windows.h>

#include <cstdint>

#include "log/logtext.h"

// Makes the log usable; called once at start-up, before any thread exists.
void InitRunLog();

// Opens quenlow.log for this run, cutting it first when it has grown too big,
// and writes the run's first line: tool and Windows version.
void OpenRunLog();

// One event line, printf-style.
void LogEvent(const char* szFormat, ...);

// The image's line: name, size and SHA-256 (CryptoAPI), read here from the
// open image, whose file pointer is back at its start afterwards.
void LogImage(HANDLE hImage, DWORD dwSize);

// Milliseconds since the start, for the times that lines report.
double LogClockMs();

// The connect byte went out: "Flash Done!" reports the time from here.
void LogConnectSent();

// The data phase's block count, once the length word went out, and each
// block as it went out, with the time from its request to its last byte.
void LogBlockCount(uint32_t blocks);
void LogBlockSent(uint32_t block, double msFromRequest);

// The end line, printf-style: "end: " and the cause.  Only the first end of a
// run is written, and nothing after it.
void LogEnd(const char* szFormat, ...);

// The cause for the end line of an expired timer (TIMER_PORT, TIMER_HANDSHAKE
// or TIMER_WATCHDOG), naming the last block that had gone out when it fired.
LogText TimerEndCause(UINT idTimer);

// The end line of a finished flash: image bytes, seconds and rate.
void LogDone(uint32_t imageBytes);

// "error N: the system's text for it".
LogText SystemErrorText(DWORD dwError);
