// Device link: the handheld's USB serial port, writing to it, and the thread
// that reads the handheld's replies into the reply buffer (replies.h).
#pragma once

#include <windows.h>

#include <cstdint>

#include "log/logtext.h"

// Device-control requests of the handheld's USB serial driver
// (FILE_DEVICE_SERIAL_PORT, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr DWORD IOCTL_LINK_ARM_MASK = 0x001B0028;   // in: event word
constexpr DWORD IOCTL_LINK_WAIT_EVENT = 0x001B002C; // out: event word; pends
constexpr DWORD IOCTL_LINK_CYCLE_END = 0x001B0030;  // in: event word

// EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR
constexpr DWORD LINK_EVENT_MASK = 0x000000B9;

// Opens \\.\WCEUSBSH001 exclusively for overlapped I/O into hLinkPort and
// configures it; 1 on success.  A failed open is told to the user once, ends
// the run, and returns 0; so does an open after the run's end, without a
// word.  May be called again after the port was closed.
int OpenLinkPort();

// One write to the port; true when every byte was written.
bool LinkWrite(const BYTE* pBytes, uint32_t length);

// Writes the whole buffer in pieces of at most 12,288 bytes; true when every
// byte was written, false at the first piece that was not.
bool LinkSend(const BYTE* pBytes, uint32_t length);

// Why the last write that failed did: the system's error, a short count, or
// a closed port.  For the log.
LogText LinkFailureText();

// Thread entry of the reply reader.  It ends when a device request fails or
// bStopReader is seen at the start of a cycle, and closes the port (once).
DWORD WINAPI UsbReaderThread(LPVOID);
