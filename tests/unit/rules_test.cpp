// The pure rules of the tool, natively under ASan/UBSan: reply recognition,
// the length word and ROM-size rule, progress arithmetic, the image check and
// write splitting.
#include <gtest/gtest.h>

#include <vector>

#include "flash/protocol.h"
#include "link/pieces.h"
#include "log/logtext.h"
#include "ui/dialog_math.h"

namespace {

constexpr uint32_t MiB = 1048576;

// Size of a well-formed image with k body blocks.
constexpr uint32_t ImageWithBlocks(uint32_t k) { return MIN_IMAGE_SIZE + k * BLOCK_SIZE; }

TEST(ReplyRecognition, ReadyReplyInPlaceOrOneByteOutOfStep)
{
    EXPECT_TRUE(IsReadyReply(0x05, 0x00, 0x00));
    EXPECT_TRUE(IsReadyReply(0x41, 0x05, 0x00)) << "stray byte before the pair";
    EXPECT_TRUE(IsReadyReply(0xFF, 0x05, 0x00));
    EXPECT_FALSE(IsReadyReply(0x05, 0x01, 0x00));
    EXPECT_FALSE(IsReadyReply(0x41, 0x05, 0x01));
    EXPECT_FALSE(IsReadyReply(0x04, 0x00, 0x00));
}

TEST(ReplyRecognition, OnlyCodeThenZeroIsAReply)
{
    EXPECT_EQ(RomReplyMegabytes(0x20, 0x01), 0u) << "second byte must be 0x00";
    EXPECT_EQ(RomReplyMegabytes(0x04, 0x00), 0u);
    EXPECT_EQ(RomReplyMegabytes(0x05, 0x00), 0u);
    EXPECT_EQ(RomReplyMegabytes(0x00, 0x00), 0u);
    EXPECT_FALSE(IsReply(0x04, 0x04, REPLY_NEXT));
}

TEST(Exchange, LengthWordAndBlockCount)
{
    EXPECT_EQ(LengthWord(524288), 262144u);
    EXPECT_EQ(BlocksForImage(524288), 2u) << "the two deferred halves only";
    EXPECT_EQ(BlocksForImage(32 * MiB), 254u);
    EXPECT_EQ(BlocksForImage(ImageWithBlocks(3)), 5u);
}

TEST(Exchange, RomSizeRuleAtEveryBoundary)
{
    struct Case {
        uint32_t rom;             // the reply's code
        uint32_t largestAccepted; // largest well-formed image that fits
    };
    // M rounds down, so up to 1 MiB - 1 byte beyond the ROM passes; the largest
    // well-formed image below that bound is one block short of ROM + 1 MiB.
    for (Case c : {Case{0x20, 34471936}, Case{0x18, 26083328}, Case{0x10, 17694720}, Case{0x08, 9306112}}) {
        uint32_t refused = c.largestAccepted + BLOCK_SIZE;
        uint32_t rom = RomReplyMegabytes(static_cast<uint8_t>(c.rom), 0);
        EXPECT_FALSE(RomTooSmall(LengthWord(c.largestAccepted), rom)) << c.rom << " reply";
        EXPECT_TRUE(RomTooSmall(LengthWord(refused), rom)) << c.rom << " reply";
        EXPECT_EQ(ImageMegabytes(LengthWord(refused)), rom + 1) << c.rom << " reply";
        EXPECT_EQ(CheckImageSize(c.largestAccepted, 0, false), IMAGE_OK);
        EXPECT_EQ(CheckImageSize(refused, 0, false), IMAGE_OK);
    }
    EXPECT_EQ(ImageMegabytes(LengthWord(34603008)), 33u);
    EXPECT_FALSE(RomTooSmall(LengthWord(32 * MiB), 32));
}

TEST(Exchange, ImageMegabytesDoesNotWrapNearFourGiB)
{
    EXPECT_EQ(ImageMegabytes(0xFFFFFFFFu), 4096u);
}

TEST(Progress, PercentOfFileSize)
{
    // The head is never sent, so the bar stops short of 100 before "Flash Done!".
    EXPECT_EQ(ProgressPercent(262144, 524288), 50u);
    EXPECT_EQ(ProgressPercent(254 * BLOCK_SIZE, 32 * MiB), 99u);
    EXPECT_EQ(ProgressPercent(126 * BLOCK_SIZE, 16 * MiB), 98u);
    EXPECT_EQ(ProgressPercent(0, 524288), 0u);
    // Q x 100 no longer fits 32 bits for images above 42 MB.
    EXPECT_EQ(ProgressPercent(0xFFFE0000u - REGION_SIZE, 0xFFFE0000u), 99u);
    EXPECT_EQ(ProgressPercent(0, 0), 0u) << "no division by zero";
}

TEST(ImageCheck, OnlyHeadDeferredAndWholeBlocks)
{
    EXPECT_EQ(CheckImageSize(524288, 0, false), IMAGE_OK);
    EXPECT_EQ(CheckImageSize(32 * MiB, 0, false), IMAGE_OK);
    EXPECT_EQ(CheckImageSize(0xFFFE0000u, 0, false), IMAGE_OK) << "largest below 4 GiB";
    EXPECT_EQ(CheckImageSize(0, 0, false), IMAGE_BAD_SIZE);
    EXPECT_EQ(CheckImageSize(262143, 0, false), IMAGE_BAD_SIZE) << "length word would wrap";
    EXPECT_EQ(CheckImageSize(524287, 0, false), IMAGE_BAD_SIZE);
    EXPECT_EQ(CheckImageSize(524289, 0, false), IMAGE_BAD_SIZE);
    EXPECT_EQ(CheckImageSize(34603007, 0, false), IMAGE_BAD_SIZE) << "not whole blocks";
    EXPECT_EQ(CheckImageSize(524288, 1, false), IMAGE_BAD_SIZE) << "4 GiB and more";
    EXPECT_EQ(CheckImageSize(0xFFFFFFFFu, 0, true), IMAGE_SIZE_UNKNOWN);
}

// Piece sizes that ForEachLinkPiece hands out for a buffer of this length.
std::vector<uint32_t> Pieces(uint32_t length)
{
    static std::vector<uint8_t> buffer(131072 + 1);
    std::vector<uint32_t> sizes;
    const uint8_t* pExpected = buffer.data();
    ForEachLinkPiece(buffer.data(), length, [&](const uint8_t* p, uint32_t n) {
        EXPECT_EQ(p, pExpected) << "pieces must be consecutive";
        pExpected = p + n;
        sizes.push_back(n);
        return true;
    });
    return sizes;
}

TEST(WriteSplitting, PieceSizes)
{
    using V = std::vector<uint32_t>;
    EXPECT_EQ(Pieces(0), V{0}) << "one empty write";
    EXPECT_EQ(Pieces(1), V{1});
    EXPECT_EQ(Pieces(12288), V{12288});
    EXPECT_EQ(Pieces(12289), (V{12288, 1}));
    EXPECT_EQ(Pieces(24576), (V{12288, 12288})) << "no empty write after a full piece";
    V block(10, 12288);
    block.push_back(8192);
    EXPECT_EQ(Pieces(131072), block);
}

TEST(WriteSplitting, StopsAtFirstIncompletePiece)
{
    std::vector<uint8_t> buffer(40000);
    int calls = 0;
    bool ok = ForEachLinkPiece(buffer.data(), 40000, [&](const uint8_t*, uint32_t) {
        return ++calls < 2;
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(calls, 2) << "no write after the failed one";
}

// The log is cut only beyond its limit, to its last LOG_KEEP bytes.
TEST(RunLog, CutOnlyBeyondTheLimit)
{
    EXPECT_EQ(LogKeepFrom(0), 0u);
    EXPECT_EQ(LogKeepFrom(LOG_LIMIT), 0u);
    EXPECT_EQ(LogKeepFrom(LOG_LIMIT + 1), LOG_LIMIT + 1 - LOG_KEEP);
    EXPECT_EQ(LogKeepFrom(0xFFFFFFFFu), 0xFFFFFFFFu - LOG_KEEP);
}

TEST(RunLog, RateAndCauses)
{
    EXPECT_EQ(RateKiBPerSecond(1048576, 1000000), 1024u);
    EXPECT_EQ(RateKiBPerSecond(1048576, 0), 0u) << "no division by zero";
    EXPECT_EQ(RateKiBPerSecond(0xFFFFFFFFull, 1), 4194303999023ull) << "no overflow";
    EXPECT_STREQ(WatchdogCause(0, 4).sz, "watchdog: no block request within 30 s after the length word");
    EXPECT_STREQ(WatchdogCause(3, 4).sz, "watchdog: no block request within 30 s after block 3 of 4");
    EXPECT_STREQ(WhatWasSent(CONNECT_BYTE_NUMBER, 4).sz, "the connect byte");
    EXPECT_STREQ(FormatMs(0.44).sz, "0.4 ms");
    EXPECT_STREQ(FormatMs(12.4).sz, "12 ms");
}

} // namespace
