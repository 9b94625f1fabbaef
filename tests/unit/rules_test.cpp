// The pure rules of the tool, natively under ASan/UBSan: reply decisions, the
// hand-off of replies between threads, and the arithmetic whole runs can't reach.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "flash/protocol.h"
#include "link/reply_handoff.h"
#include "log/logtext.h"
#include "ui/dialog_math.h"

namespace {

constexpr uint32_t MiB = 1048576;

// What the worker does after a look, in every stage (the reply rules in one
// table).  A snapshot is bytes 0 and 1 of the buffer and the latched ROM code.
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
        // The ready reply; nothing else.
        {STAGE_GREETING, {0x05, 0x00, 0}, 0, 0, STEP_READY, 0, 0},
        {STAGE_GREETING, {0x04, 0x00, 0}, 0, 0, STEP_WAIT, 0, 0},
        // A block request: the next body block while more than the deferred
        // block is left, then its first half; garbage and other replies wait.
        {STAGE_BODY, {0x04, 0x00, 0}, S17, REGION_SIZE + BLOCK_SIZE, STEP_SEND_BODY, 0, 0},
        {STAGE_BODY, {0x04, 0x00, 0}, S17, REGION_SIZE, STEP_SEND_FIRST_HALF, 0, 0},
        {STAGE_BODY, {0x05, 0x00, 0}, S17, R17, STEP_WAIT, 0, 0},
        {STAGE_LAST_HALF, {0x04, 0x00, 0}, S17, REGION_SIZE - BLOCK_SIZE, STEP_SEND_LAST_HALF, 0, 0},
        // ROM codes in bytes 0 and 1 or only in the latch (a request overwrote
        // them): M against the ROM, before any request is answered.
        {STAGE_BODY, {0x20, 0x00, 0x20}, S17, R17, STEP_WAIT, 32, 17},
        {STAGE_BODY, {0x10, 0x00, 0x10}, S17, R17, STEP_REFUSE, 16, 17},
        {STAGE_BODY, {0x04, 0x00, 0x10}, S17, R17, STEP_REFUSE, 16, 17},
        {STAGE_BODY, {0x04, 0x00, 0x20}, S17, R17, STEP_SEND_BODY, 32, 17},
        {STAGE_BODY, {0x10, 0x00, 0x20}, S17, R17, STEP_REFUSE, 16, 17},
        {STAGE_LAST_HALF, {0x20, 0x00, 0x20}, S17, REGION_SIZE - BLOCK_SIZE, STEP_WAIT, 32, 17},
        // M is the whole image's, however many blocks went out before the
        // ROM-size reply was seen: 17 MiB never goes into a 16 MiB ROM.
        {STAGE_BODY, {0x04, 0x00, 0x10}, S17, R17 - BLOCK_SIZE, STEP_REFUSE, 16, 17},
        {STAGE_LAST_HALF, {0x04, 0x00, 0x10}, S17, REGION_SIZE - BLOCK_SIZE, STEP_REFUSE, 16, 17},
        // M rounds down: up to 1 MiB - 1 byte beyond the ROM passes.
        {STAGE_BODY, {0x04, 0x00, 0x10}, 17 * MiB - BLOCK_SIZE, 0, STEP_SEND_FIRST_HALF, 16, 16},
        {STAGE_BODY, {0x04, 0x00, 0x20}, 34603008, R17, STEP_REFUSE, 32, 33},
        {STAGE_BODY, {0x04, 0x00, 0x08}, 0xFFFE0000u, R17, STEP_REFUSE, 8, 4095},
    };
    for (const Row& r : rows) {
        Step step = DecideStep(r.stage, r.seen, r.size, r.remaining);
        EXPECT_EQ(step.kind, r.kind) << "stage " << r.stage << ", bytes " << std::hex << +r.seen.b0
                                     << " " << +r.seen.b1 << ", latch "
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
    // Each round's burst: refused ROM then request, accepted ROM then request, request alone.
    const uint8_t bursts[3][2][2] = {{{0x10, 0}, {0x04, 0}}, {{0x20, 0}, {0x04, 0}}, {{0x04, 0}, {0, 0}}};
    const StepKind due[3] = {STEP_REFUSE, STEP_SEND_BODY, STEP_SEND_BODY};
    std::atomic<uint8_t> buffer[3] = {};
    std::atomic<uint8_t> latch{0};
    std::atomic<uint32_t> started{0}, published{0}; // the round begun, the round's burst out
    // Waits for a round; yields now and then (the suite may share the core).
    auto await = [](const std::atomic<uint32_t>& counter, uint32_t r) {
        for (uint32_t spins = 1; counter.load() != r; spins++)
            if (spins % 64 == 0) std::this_thread::yield();
    };
    std::thread reader([&] {
        uint8_t code = 0;
        for (uint32_t r = 1; r <= rounds; r++) {
            await(started, r);
            for (const auto& burst : bursts[r % 3]) TakeReadBytes(buffer, latch, burst, 2, &code);
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
        if (step.kind != due[r % 3] && wrong++ == 0) firstWrong = r;
        await(published, r);
    }
    reader.join();
    EXPECT_EQ(wrong, 0u) << "decisions that acted on a request that was not one, or without the "
                            "ROM-size reply before it, first in round " << firstWrong << " of " << rounds;
}

// Replies as a USB stack delivers them: generated streams of replies with
// single stray bytes between them, cut into reads in every way the reader's
// two-byte reads allow, with reader cycles (some reading nothing) between
// reads and a worker that takes a reply after every read or only now and
// then.  The judge knows where each reply ends in the stream: a take sees
// the latest reply that ended since the last take (an untaken one survives
// any number of cycles, a newer one overwrites it), and the latch the latest
// ROM-size reply.  A failing case prints its seed and cut.
TEST(Handoff, EveryReplyWhateverTheReads)
{
    const uint8_t codes[] = {REPLY_READY, REPLY_ROM_32MB, REPLY_ROM_24MB, REPLY_ROM_16MB,
                             REPLY_ROM_8MB, REPLY_NEXT, 0x33};
    uint32_t cases = 0;
    for (uint32_t seed = 1; seed <= 200; seed++) {
        uint32_t state = seed * 2654435761u;
        auto next = [&state](uint32_t n) {
            state ^= state << 13, state ^= state >> 17, state ^= state << 5;
            return state % n;
        };
        std::vector<uint8_t> stream;
        std::vector<std::pair<size_t, uint8_t>> ends; // offset of each reply's 00, its code
        for (uint32_t r = 0, n = 1 + next(6); r <= n; r++) {
            if (next(2)) stream.push_back(static_cast<uint8_t>(next(4) ? next(256) : 0)); // stray
            if (r == n) break;
            stream.push_back(codes[next(sizeof(codes))]);
            stream.push_back(0);
            ends.push_back({stream.size() - 1, stream[stream.size() - 2]});
        }
        // Every cut into reads of one or two bytes: bit i of `cut` set makes
        // the read at that point two bytes long.
        std::vector<uint32_t> cuts;
        std::function<void(size_t, uint32_t, uint32_t)> walk = [&](size_t at, uint32_t cut, uint32_t bit) {
            if (at >= stream.size()) return cuts.push_back(cut);
            walk(at + 1, cut, bit << 1);
            if (at + 2 <= stream.size()) walk(at + 2, cut | bit, bit << 1);
        };
        walk(0, 0, 1);
        for (uint32_t cut : cuts) {
            for (uint32_t lazy = 1; lazy <= 3; lazy += 2, cases++) {
                std::atomic<uint8_t> buffer[4] = {};
                std::atomic<uint8_t> latch{0};
                uint8_t code = 0, rom = 0;
                size_t at = 0, taken = 0; // stream offset read so far; replies judged so far
                for (uint32_t read = 0, bit = 1; at < stream.size(); read++, bit <<= 1) {
                    for (uint32_t c = (read + cut) % 3; c > 0; c--) BeginReaderCycle(buffer, 4);
                    uint32_t count = cut & bit ? 2 : 1;
                    TakeReadBytes(buffer, latch, &stream[at], count, &code);
                    at += count;
                    if (read % lazy != 0 && at < stream.size()) continue;
                    uint8_t due = 0; // the latest reply that ended since the last take
                    for (; taken < ends.size() && ends[taken].first < at; taken++) {
                        due = ends[taken].second;
                        if (RomReplyMegabytes(due, 0) != 0) rom = due;
                    }
                    ReplySnapshot seen = SnapshotReplies(buffer, latch);
                    ASSERT_TRUE(seen.b0 == due && seen.b1 == 0 && seen.rom == rom)
                        << "seed " << seed << ", cut " << cut << ", every " << lazy << " reads, after byte " << at
                        << ": saw " << std::hex << +seen.b0 << " " << +seen.b1 << " latch " << +seen.rom
                        << ", due " << +due << " 00 latch " << +rom;
                    buffer[0].store(0), buffer[1].store(0);
                }
            }
        }
    }
    EXPECT_GT(cases, 100000u);
}

// Whole runs judge the percentage at "Flash Done!"; these are the sizes they
// can't reach.
TEST(Progress, PercentOfFileSize)
{
    // Q x 100 no longer fits 32 bits for images above 42 MB.
    EXPECT_EQ(ProgressPercent(0xFFFE0000u - REGION_SIZE, 0xFFFE0000u), 99u);
    EXPECT_EQ(ProgressPercent(0, 0), 0u) << "no division by zero";
}

TEST(ImageCheck, OnlyHeadDeferredAndWholeBlocks)
{
    EXPECT_EQ(CheckImageSize(524288, 0, false), IMAGE_OK);
    EXPECT_EQ(CheckImageSize(0xFFFE0000u, 0, false), IMAGE_OK) << "largest below 4 GiB";
    EXPECT_EQ(CheckImageSize(0, 0, false), IMAGE_BAD_SIZE);
    EXPECT_EQ(CheckImageSize(262143, 0, false), IMAGE_BAD_SIZE) << "length word would wrap";
    EXPECT_EQ(CheckImageSize(34603007, 0, false), IMAGE_BAD_SIZE) << "not whole blocks";
    EXPECT_EQ(CheckImageSize(524288, 1, false), IMAGE_BAD_SIZE) << "4 GiB and more";
    EXPECT_EQ(CheckImageSize(0xFFFFFFFFu, 0, true), IMAGE_SIZE_UNKNOWN);
}

TEST(RunLog, RateWithoutOverflow)
{
    EXPECT_EQ(RateKiBPerSecond(1048576, 1000000), 1024u);
    EXPECT_EQ(RateKiBPerSecond(1048576, 0), 0u) << "no division by zero";
    EXPECT_EQ(RateKiBPerSecond(0xFFFFFFFFull, 1), 4194303999023ull) << "no overflow";
}

} // namespace
