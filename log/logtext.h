// The run log's pure rules: how big the log may grow, the rate a finished
// flash reports, and the texts that name what went out and why a run ended.
// They touch no file, clock or window, so they are unit-tested natively.
// Texts come back by value in a fixed buffer: no allocation, any thread.
#pragma once

#include <cstdint>

// The log is cut when it has grown beyond LOG_LIMIT bytes, to its last
// LOG_KEEP bytes (from the first whole line in them), so a run seldom cuts it
// and it never eats a disk.
constexpr uint32_t LOG_LIMIT = 256 * 1024;
constexpr uint32_t LOG_KEEP = 128 * 1024;

// Offset from which a log of this size keeps its tail (before the line
// boundary is found); 0 when it is kept whole.
constexpr uint32_t LogKeepFrom(uint32_t logSize)
{
    return logSize > LOG_LIMIT ? logSize - LOG_KEEP : 0;
}

// Effective rate in whole KiB/s of bytes (below 4 GiB) sent in microseconds;
// 0 for no time.
constexpr uint64_t RateKiBPerSecond(uint64_t bytes, uint64_t microseconds)
{
    return microseconds == 0 ? 0 : bytes * 1000000 / 1024 / microseconds;
}

// A short text of the log.
struct LogText {
    char sz[160];
};

// "block 3 of 30", or for number 0 "the length word".
LogText WhatWasSent(uint32_t number, uint32_t blocks);

// The watchdog's cause: no request within 30 s after the last thing sent.
LogText WatchdogCause(uint32_t blocksSent, uint32_t blocks);

// Milliseconds, with tenths below 10 ms: "0.4 ms", "12 ms".
LogText FormatMs(double ms);
