// The pure rules of the tool, natively under ASan/UBSan: the reply decisions
// and the hand-off of replies between two threads, progress arithmetic, the
// image check and the log's rules.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "flash/protocol.h"
#include "link/reply_handoff.h"
#include "log/logtext.h"
#include "ui/dialog_math.h"

namespace {

constexpr uint32_t MiB = 1048576;

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
        {STAGE_BODY, {0x04, 0x00, 0x00, 0x18}, 25 * MiB, R17, STEP_REFUSE, 24, 25},
        {STAGE_LAST_HALF, {0x20, 0x00, 0x00, 0x20}, S17, REGION_SIZE - BLOCK_SIZE, STEP_WAIT, 32, 17},
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
        uint8_t last = 0;
        for (uint32_t r = 1; r <= rounds; r++) {
            await(started, r);
            for (const auto& burst : bursts[r % 4]) {
                uint8_t pair[2] = {burst[0], burst[1]};
                TakeReadBytes(buffer, latch, pair, 2, &last);
            }
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

// The reader's reads, as the driver hands them out: a ROM-size reply is
// latched however the stray bytes before it put the pairs out of step, and
// only pairs whose first byte is not zero are published.
TEST(Handoff, ReadsInAndOutOfStep)
{
    struct Row {
        const char* name;
        std::vector<std::vector<uint8_t>> reads;
        uint8_t latch, b0, b1; // afterwards
    } rows[] = {
        {"in step", {{0x10, 0x00}, {0x04, 0x00}}, 0x10, 0x04, 0x00},
        {"straddling two reads", {{0x41, 0x05}, {0x00, 0x10}, {0x00, 0x04}, {0x00}}, 0x10, 0x41, 0x05},
        {"after a short read", {{0x41}, {0x05, 0x00}, {0x20}, {0x00, 0x04}}, 0x20, 0x20, 0x00},
        {"no ROM-size reply", {{0x05, 0x00}, {0x04, 0x00}}, 0x00, 0x04, 0x00},
        {"zero first byte", {{0x00, 0x07}}, 0x00, 0x00, 0x00},
    };
    for (const Row& r : rows) {
        std::atomic<uint8_t> buffer[3] = {};
        std::atomic<uint8_t> latch{0};
        uint8_t pair[2] = {0, 0}, last = 0;
        for (const std::vector<uint8_t>& read : r.reads) {
            std::copy(read.begin(), read.end(), pair);
            TakeReadBytes(buffer, latch, pair, static_cast<uint32_t>(read.size()), &last);
        }
        EXPECT_EQ(latch.load(), r.latch) << r.name;
        EXPECT_EQ(buffer[0].load(), r.b0) << r.name;
        EXPECT_EQ(buffer[1].load(), r.b1) << r.name;
    }
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
