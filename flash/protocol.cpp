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

Step DecideStep(ExchangeStage stage, ReplySnapshot seen, uint32_t fileSize, uint32_t remaining)
{
    if (stage == STAGE_GREETING)
        return {IsReply(seen.b0, seen.b1, REPLY_READY) ? STEP_READY : STEP_WAIT, 0, 0};
    // The pair in bytes 0 and 1 is the latest reply; the latch holds a ROM-size
    // reply that a request may have overwritten there.
    uint32_t rom = RomReplyMegabytes(seen.b0, seen.b1);
    if (rom == 0) rom = RomReplyMegabytes(seen.rom, 0);
    uint32_t megabytes = ImageMegabytes(LengthWord(fileSize));
    Step step = {STEP_WAIT, rom, rom != 0 ? megabytes : 0};
    if (rom != 0 && megabytes > rom)
        step.kind = STEP_REFUSE;
    else if (!IsReply(seen.b0, seen.b1, REPLY_NEXT))
        step.kind = STEP_WAIT;
    else if (stage == STAGE_LAST_HALF)
        step.kind = STEP_SEND_LAST_HALF;
    else
        step.kind = remaining > REGION_SIZE ? STEP_SEND_BODY : STEP_SEND_FIRST_HALF;
    return step;
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
