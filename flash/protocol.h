// The download exchange with the handheld's boot loader, host side.
//
//   host                         boot loader
//   0x41 ("A")           ->
//                        <-      05 00              ready
//   length word L (4, LE) ->                        L = file size - 262,144
//                        <-      20|18|10|08 00     flash ROM size (optional)
//                        <-      04 00              next block, please
//   131,072 bytes        ->                         body, in file order
//   ...                                             one block per 04 00
//   deferred block, two halves, last
//
// Every reply is a code byte followed by 0x00.  The head of the image (file
// bytes 0 to 262,143) is never sent; the deferred block (262,144 to 524,287)
// goes last.  No checksum, no retransmission, no abort message.
//
// The functions here are the pure rules of the exchange: they touch no
// window, file or device, so they are unit-tested natively.
#pragma once

#include <cstdint>

constexpr uint8_t HOST_CONNECT = 0x41;

constexpr uint8_t REPLY_READY = 0x05;
constexpr uint8_t REPLY_ROM_32MB = 0x20;
constexpr uint8_t REPLY_ROM_24MB = 0x18;
constexpr uint8_t REPLY_ROM_16MB = 0x10;
constexpr uint8_t REPLY_ROM_8MB = 0x08;
constexpr uint8_t REPLY_NEXT = 0x04;

constexpr uint32_t BLOCK_SIZE = 0x20000;        // one data block, 131,072 bytes
constexpr uint32_t REGION_SIZE = 0x40000;       // head and deferred block, 262,144 each
constexpr uint32_t MIN_IMAGE_SIZE = 2 * REGION_SIZE; // 524,288: head + deferred block
constexpr uint32_t MEGABYTE = 0x100000;

// Deadlines, run as the progress dialog's timers: the boot loader answers the
// connect byte within TIMER_HANDSHAKE_MS and asks for each block within
// TIMER_WATCHDOG_MS of the length word or of its last request.
constexpr unsigned TIMER_HANDSHAKE_MS = 1000;
constexpr unsigned TIMER_WATCHDOG_MS = 30000;

// Pause before every look at the reply buffer in the data phase.
constexpr unsigned POLL_MS = 1;

// Longest wait for the reader's signal in the waits that have nothing else to
// do (the ready reply, the last request): a wait without rest would hold a
// core at full load for as long as the handheld takes, and even a 1 ms pause
// costs some 3 % of a core under Wine.  The signal ends the wait at once; the
// limit only bounds how late the worker notices that the run has ended.
constexpr unsigned REPLY_WAIT_MS = 50;

// True when bytes 0 and 1 of the reply buffer hold the reply with this code.
constexpr bool IsReply(uint8_t b0, uint8_t b1, uint8_t code) { return b0 == code && b1 == 0; }

// True when the ready reply is present, in place or one byte out of step
// (a stray byte came first, so the pair sits in bytes 1 and 2).
constexpr bool IsReadyReply(uint8_t b0, uint8_t b1, uint8_t b2)
{
    return IsReply(b0, b1, REPLY_READY) || (b1 == REPLY_READY && b2 == 0);
}

// Flash ROM size in MiB that a ROM-size reply reports, 0 when the pair is none.
// Tested in the order 32, 24, 16, 8.
uint32_t RomReplyMegabytes(uint8_t b0, uint8_t b1);

// The length word: image bytes that follow it (file size minus the head).
constexpr uint32_t LengthWord(uint32_t fileSize) { return fileSize - REGION_SIZE; }

// M: image size in whole MiB, from the bytes still to send R (plus the head).
constexpr uint32_t ImageMegabytes(uint32_t remaining)
{
    return static_cast<uint32_t>((uint64_t{remaining} + REGION_SIZE) / MEGABYTE);
}

// The ROM-size rule: the image is refused when M exceeds the reported ROM.
constexpr bool RomTooSmall(uint32_t remaining, uint32_t romMegabytes)
{
    return ImageMegabytes(remaining) > romMegabytes;
}

// Why an image file is unfit to be sent; checked before the device is touched.
enum ImageVerdict {
    IMAGE_OK,
    IMAGE_SIZE_UNKNOWN,   // the file system did not report a size
    IMAGE_BAD_SIZE        // not 524,288 + k x 131,072 bytes, or 4 GiB or more
};

// Judges an image by the two halves of its size as GetFileSize reports them;
// sizeUnknown is true when GetFileSize failed.
ImageVerdict CheckImageSize(uint32_t sizeLow, uint32_t sizeHigh, bool sizeUnknown);

// Data blocks the boot loader asks for: body blocks plus the two deferred halves.
constexpr uint32_t BlocksForImage(uint32_t fileSize) { return LengthWord(fileSize) / BLOCK_SIZE; }
