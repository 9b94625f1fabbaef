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

// True when bytes 0 and 1 of the reply buffer hold the reply with this code.
constexpr bool IsReply(uint8_t b0, uint8_t b1, uint8_t code) { return b0 == code && b1 == 0; }

// Flash ROM size in MiB that a ROM-size reply reports, 0 when the pair is none.
// Tested in the order 32, 24, 16, 8.
uint32_t RomReplyMegabytes(uint8_t b0, uint8_t b1);

// The length word: image bytes that follow it (file size minus the head).
constexpr uint32_t LengthWord(uint32_t fileSize) { return fileSize - REGION_SIZE; }

// M: image size in whole MiB, from the length word (the bytes after the head).
constexpr uint32_t ImageMegabytes(uint32_t lengthWord)
{
    return static_cast<uint32_t>((uint64_t{lengthWord} + REGION_SIZE) / MEGABYTE);
}

// What the worker saw of the reader's output in one look: bytes 0 and 1 of
// the reply buffer (the latest whole reply, code and 00, or nothing) and the
// latest ROM-size code the reader latched (0 if none).
struct ReplySnapshot {
    uint8_t b0, b1, rom;
};

// Where the exchange stands while the worker waits for the handheld.
enum ExchangeStage {
    STAGE_GREETING,  // the connect byte is out: the ready reply is due
    STAGE_BODY,      // the length word or a body block is out: a block request is due
    STAGE_LAST_HALF  // the first deferred half is out: the request for the second is due
};

// What the worker does next.
enum StepKind {
    STEP_WAIT,            // nothing to act on yet
    STEP_READY,           // the ready reply is in: the greeting is done
    STEP_REFUSE,          // the handheld reported a ROM smaller than the image
    STEP_SEND_BODY,       // a block request: send the next body block
    STEP_SEND_FIRST_HALF, // a block request, and only the deferred block is left
    STEP_SEND_LAST_HALF   // a block request for the second deferred half, the last
};

struct Step {
    StepKind kind;
    uint32_t romMegabytes;   // the ROM the handheld reported, 0 if none
    uint32_t imageMegabytes; // M, when a ROM was reported
};

// The reply rules in one place: what the worker does, given what it saw in
// one look.  fileSize is the image's size, remaining the bytes of the length
// word not yet sent.  The ROM-size rule comes before any block request, in
// every stage that sends data, and judges the whole image: a request that
// overwrote the ROM-size reply, or a ROM-size reply that comes late, can't
// let a block go out behind it.
Step DecideStep(ExchangeStage stage, ReplySnapshot seen, uint32_t fileSize, uint32_t remaining);

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
