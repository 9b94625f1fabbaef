// The pure rules of the tool, natively under ASan/UBSan: reply recognition,
// the length word and ROM-size rule, progress arithmetic, the image check and
// write splitting.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "flash/protocol.h"
#include "link/reply_handoff.h"
#include "link/pieces.h"
#include "log/logtext.h"
#include "ui/dialog_math.h"

namespace {

constexpr uint32_t MiB = 1048576;

// Size of a well-formed image with k body blocks.
constexpr uint32_t ImageWithBlocks(uint32_t k) { return MIN_IMAGE_SIZE + k * BLOCK_SIZE; }

TEST(Exchange, LengthWordAndBlockCount)
{
    EXPECT_EQ(LengthWord(524288), 262144u);
    EXPECT_EQ(BlocksForImage(524288), 2u) << "the two deferred halves only";
    EXPECT_EQ(BlocksForImage(32 * MiB), 254u);
    EXPECT_EQ(BlocksForImage(ImageWithBlocks(3)), 5u);
}

// What the worker does after a look, in every stage (the reply rules in one
// table).  A snapshot is bytes 0 to 2 of the buffer and the latched ROM code.
TEST(Decisions, EveryReplyInEveryStage)
{
    struct Row {
        ExchangeStage stage;
        ReplySnapshot seen;
        uint32_t size, remaining; // image size, bytes of the length word not yet sent
        StepKind kind;
        uint32_t rom, image; // the step's ROM and M
    };
    constexpr uint32_t S17 = 17 * MiB, R17 = 17 * MiB - REGION_SIZE;
    const Row rows[] = {
        // The ready reply, in place or one byte out of step; nothing else.
        {STAGE_GREETING, {0x05, 0x00, 0x00, 0}, 0, 0, STEP_READY, 0, 0},
        {STAGE_GREETING, {0x41, 0x05, 0x00, 0}, 0, 0, STEP_READY, 0, 0},
        {STAGE_GREETING, {0x00, 0x05, 0x00, 0}, 0, 0, STEP_READY, 0, 0},
        {STAGE_GREETING, {0x05, 0x01, 0x00, 0}, 0, 0, STEP_WAIT, 0, 0},
        {STAGE_GREETING, {0x41, 0x05, 0x01, 0}, 0, 0, STEP_WAIT, 0, 0},
        {STAGE_GREETING, {0x04, 0x00, 0x00, 0}, 0, 0, STEP_WAIT, 0, 0},
        {STAGE_GREETING, {0x00, 0x00, 0x00, 0}, 0, 0, STEP_WAIT, 0, 0},
        // A block request: the next body block while more than the deferred
        // block is left, then its first half; garbage and other replies wait.
        {STAGE_BODY, {0x04, 0x00, 0x00, 0}, S17, R17, STEP_SEND_BODY, 0, 0},
        {STAGE_BODY, {0x04, 0x00, 0x00, 0}, S17, REGION_SIZE + BLOCK_SIZE, STEP_SEND_BODY, 0, 0},
        {STAGE_BODY, {0x04, 0x00, 0x00, 0}, S17, REGION_SIZE, STEP_SEND_FIRST_HALF, 0, 0},
        {STAGE_BODY, {0x04, 0x01, 0x00, 0}, S17, R17, STEP_WAIT, 0, 0},
        {STAGE_BODY, {0x05, 0x00, 0x00, 0}, S17, R17, STEP_WAIT, 0, 0},
        {STAGE_BODY, {0xEE, 0x11, 0x00, 0}, S17, R17, STEP_WAIT, 0, 0},
        {STAGE_LAST_HALF, {0x04, 0x00, 0x00, 0}, S17, REGION_SIZE - BLOCK_SIZE, STEP_SEND_LAST_HALF, 0, 0},
        {STAGE_LAST_HALF, {0x00, 0x00, 0x00, 0}, S17, REGION_SIZE - BLOCK_SIZE, STEP_WAIT, 0, 0},
        // The four ROM codes, in bytes 0 and 1 or only in the latch (a request
        // overwrote them): M against the ROM, before any request is answered.
        {STAGE_BODY, {0x20, 0x00, 0x00, 0x20}, S17, R17, STEP_WAIT, 32, 17},
        {STAGE_BODY, {0x18, 0x00, 0x00, 0x18}, S17, R17, STEP_WAIT, 24, 17},
        {STAGE_BODY, {0x10, 0x00, 0x00, 0x10}, S17, R17, STEP_REFUSE, 16, 17},
        {STAGE_BODY, {0x08, 0x00, 0x00, 0x08}, S17, R17, STEP_REFUSE, 8, 17},
        {STAGE_BODY, {0x04, 0x00, 0x00, 0x10}, S17, R17, STEP_REFUSE, 16, 17},
        {STAGE_BODY, {0x04, 0x00, 0x00, 0x20}, S17, R17, STEP_SEND_BODY, 32, 17},
        {STAGE_BODY, {0x10, 0x01, 0x00, 0x00}, S17, R17, STEP_WAIT, 0, 0},
        {STAGE_BODY, {0x10, 0x00, 0x00, 0x20}, S17, R17, STEP_REFUSE, 16, 17},
        // M is the whole image's, however many blocks went out before the
        // ROM-size reply was seen: 17 MiB never goes into a 16 MiB ROM.
        {STAGE_BODY, {0x04, 0x00, 0x00, 0x10}, S17, R17 - BLOCK_SIZE, STEP_REFUSE, 16, 17},
        {STAGE_LAST_HALF, {0x04, 0x00, 0x00, 0x10}, S17, REGION_SIZE - BLOCK_SIZE, STEP_REFUSE, 16, 17},
        // M rounds down: up to 1 MiB - 1 byte beyond the ROM passes.
        {STAGE_BODY, {0x04, 0x00, 0x00, 0x10}, 17 * MiB - BLOCK_SIZE, 0, STEP_SEND_FIRST_HALF, 16, 16},
        {STAGE_BODY, {0x04, 0x00, 0x00, 0x20}, 34603008, R17, STEP_REFUSE, 32, 33},
        {STAGE_BODY, {0x04, 0x00, 0x00, 0x20}, 32 * MiB, R17, STEP_SEND_BODY, 32, 32},
        {STAGE_BODY, {0x04, 0x00, 0x00, 0x08}, 0xFFFE0000u, R17, STEP_REFUSE, 8, 4095},
    };
    for (const Row& r : rows) {
        Step step = DecideStep(r.stage, r.seen, r.size, r.remaining);
        EXPECT_EQ(step.kind, r.kind) << "stage " << r.stage << ", bytes " << std::hex << +r.seen.b0
                                     << " " << +r.seen.b1 << " " << +r.seen.b2 << ", latch "
                                     << +r.seen.rom << std::dec << ", image " << r.size;
        EXPECT_EQ(step.romMegabytes, r.rom) << "latch " << std::hex << +r.seen.rom;
        EXPECT_EQ(step.imageMegabytes, r.image) << "image " << r.size;
    }
}

// The hand-off under load: one thread publishes back-to-back replies with the
// reader's own code while another snapshots and decides, round after round.
// A ROM-size reply that refuses the image must never let a block go out,
// whichever moment the snapshot falls on.  QL_HANDOFF_ROUNDS sets the rounds.
TEST(Handoff, NoRefusalMissedUnderLoad)
{
    const char* szRounds = std::getenv("QL_HANDOFF_ROUNDS");
    const uint32_t rounds = szRounds ? static_cast<uint32_t>(std::atoll(szRounds)) : 2000000;
    constexpr uint32_t SIZE = 17 * MiB, REMAINING = SIZE - REGION_SIZE;
    // Each round's burst, by round number: refused ROM then request, accepted
    // ROM then request, request alone, garbage that is a request but for its
    // byte 1 then a refused ROM (byte 0 read without its own byte 1 would
    // make a request of the garbage).
    const uint8_t bursts[4][2][2] = {{{0x10, 0}, {0x04, 0}}, {{0x20, 0}, {0x04, 0}}, {{0x04, 0}, {0, 0}},
                                     {{0x04, 0x01}, {0x10, 0}}};
    const StepKind due[4] = {STEP_REFUSE, STEP_SEND_BODY, STEP_SEND_BODY, STEP_REFUSE};
    std::atomic<uint8_t> buffer[3] = {};
    std::atomic<uint8_t> latch{0};
    std::atomic<uint32_t> started{0}, published{0}; // the round begun, the round's burst out
    // Waits for a round number; yields now and then, since the two threads
    // may share one core with the rest of the suite.
    auto await = [](const std::atomic<uint32_t>& counter, uint32_t r) {
        for (uint32_t spins = 1; counter.load() != r; spins++)
            if (spins % 64 == 0) std::this_thread::yield();
    };
    std::thread reader([&] {
        for (uint32_t r = 1; r <= rounds; r++) {
            await(started, r);
            for (const auto& pair : bursts[r % 4])
                if (pair[0] != 0) PublishReplyPair(buffer, latch, pair);
            published.store(r);
        }
    });
    uint32_t wrong = 0, firstWrong = 0;
    for (uint32_t r = 1; r <= rounds; r++) {
        for (auto& b : buffer) b.store(0);
        latch.store(0);
        started.store(r);
        Step step;
        for (uint32_t spins = 1;; spins++) {
            step = DecideStep(STAGE_BODY, SnapshotReplies(buffer, latch), SIZE, REMAINING);
            if (step.kind != STEP_WAIT) break;
            if (spins % 64 == 0) std::this_thread::yield();
        }
        if (step.kind != due[r % 4] && wrong++ == 0) firstWrong = r;
        await(published, r);
    }
    reader.join();
    EXPECT_EQ(wrong, 0u) << "decisions that acted on a request that was not one, or without the "
                            "ROM-size reply before it, first in round " << firstWrong << " of " << rounds;
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
