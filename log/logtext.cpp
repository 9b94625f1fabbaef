// The run log's pure rules; see logtext.h.
#include "log/logtext.h"

#include <cstdio>

LogText WhatWasSent(uint32_t number, uint32_t blocks)
{
    LogText text;
    if (number == 0)
        snprintf(text.sz, sizeof(text.sz), "the length word");
    else
        snprintf(text.sz, sizeof(text.sz), "block %lu of %lu", static_cast<unsigned long>(number),
                 static_cast<unsigned long>(blocks));
    return text;
}

LogText WatchdogCause(uint32_t blocksSent, uint32_t blocks)
{
    LogText text;
    if (blocksSent == 0)
        snprintf(text.sz, sizeof(text.sz), "watchdog: no block request within 30 s after the length word");
    else
        snprintf(text.sz, sizeof(text.sz), "watchdog: no block request within 30 s after block %lu of %lu",
                 static_cast<unsigned long>(blocksSent), static_cast<unsigned long>(blocks));
    return text;
}

LogText FormatMs(double ms)
{
    LogText text;
    snprintf(text.sz, sizeof(text.sz), ms < 10 ? "%.1f ms" : "%.0f ms", ms);
    return text;
}
