// The worker's wait for the handheld: one snapshot of the replies at a time,
// judged by the reply rules, with a sleep on the reader's event in between.
#include "flash/flash.h"

#include "link/replies.h"
#include "link/run_end.h"
#include "log/runlog.h"

// The event is auto-reset and set after every store, so a reply stored after
// a snapshot always ends the wait that follows it: no reply waits for the
// limit, and no core spins while the handheld takes its time.
bool AwaitStep(ExchangeStage stage, uint32_t fileSize, uint32_t remaining, Step* pStep)
{
    // The ROM-size reply logged last, so that each is logged once.  Worker
    // thread only.
    static uint32_t romLogged = 0;
    for (;;) {
        if (RunEnded()) return false;
        *pStep = DecideStep(stage, LookAtReplies(), fileSize, remaining);
        if (pStep->romMegabytes != 0 && pStep->kind != STEP_REFUSE && pStep->romMegabytes != romLogged) {
            romLogged = pStep->romMegabytes;
            LogEvent("ROM-size reply: %lu MiB flash ROM, image of %lu MiB fits",
                     static_cast<unsigned long>(pStep->romMegabytes),
                     static_cast<unsigned long>(pStep->imageMegabytes));
        }
        if (pStep->kind != STEP_WAIT) return true;
        WaitForReply();
    }
}
