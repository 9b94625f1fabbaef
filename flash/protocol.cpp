// Pure rules of the download exchange: ROM-size replies and the image check.
#include "flash/protocol.h"

uint32_t RomReplyMegabytes(uint8_t b0, uint8_t b1)
{
    if (IsReply(b0, b1, REPLY_ROM_32MB)) return 32;
    if (IsReply(b0, b1, REPLY_ROM_24MB)) return 24;
    if (IsReply(b0, b1, REPLY_ROM_16MB)) return 16;
    if (IsReply(b0, b1, REPLY_ROM_8MB)) return 8;
    return 0;
}

// Accepts only sizes for which the length word equals the bytes sent: the head,
// the deferred block and whole body blocks, all below 4 GiB.
ImageVerdict CheckImageSize(uint32_t sizeLow, uint32_t sizeHigh, bool sizeUnknown)
{
    if (sizeUnknown) return IMAGE_SIZE_UNKNOWN;
    if (sizeHigh != 0 || sizeLow < MIN_IMAGE_SIZE) return IMAGE_BAD_SIZE;
    if ((sizeLow - MIN_IMAGE_SIZE) % BLOCK_SIZE != 0) return IMAGE_BAD_SIZE;
    return IMAGE_OK;
}
