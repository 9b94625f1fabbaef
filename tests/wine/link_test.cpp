// The device link against the stand-in driver, below what whole runs show:
// the port closed once while the reader races the worker.  The test is the
// tool's worker (calling the real link code) and, on a thread of its own, the
// handheld.
#include "rig/harness/harness.h"

#include "common/globals.h"
#include "link/link.h"
#include "link/port_lock.h"
#include "link/replies.h"
#include "log/runlog.h"

namespace {

// Ends a reader thread; its exit code, or -1 if it did not end in time.
long ReaderExit(HANDLE hThread)
{
    DWORD dw = static_cast<DWORD>(-1);
    if (WaitForSingleObject(hThread, 3000) == WAIT_OBJECT_0) GetExitCodeThread(hThread, &dw);
    CloseHandle(hThread);
    return static_cast<long>(dw);
}

// The worker closing the port while the reader drains, and the reader ending
// first because the handheld went away: either way the port is closed once
// and nothing reaches the driver after the close.
TEST(Link, CloseRacesWithReaderRepeatedly)
{
    InitPortLock();
    InitRunLog();
    HSIMCTL hCtl = SimOpenControl(); // the handheld's side
    ASSERT_NE(hCtl, nullptr) << "stand-in driver not running";
    const BYTE request[2] = {0x04, 0x00};
    for (int i = 0; i < 40; i++) {
        SCOPED_TRACE(i);
        SimPlug(hCtl, TRUE);
        std::vector<SIM_RECORD> records;
        while (SimReadRecords(hCtl, 0, &records) > 0) records.clear(); // earlier rounds'
        ASSERT_TRUE(PrepareReplies());
        bStopReader = 0;
        bReaderReady = 0;
        ASSERT_EQ(OpenLinkPort(), 1);
        HANDLE hReader = CreateThread(nullptr, 0, UsbReaderThread, nullptr, 0, nullptr);
        while (hReader != nullptr && bReaderReady == 0) Sleep(1);
        ASSERT_TRUE(SimSendToHost(hCtl, request, sizeof(request)));
        Sleep(static_cast<DWORD>(i % 7));
        if (i % 2 == 0) {
            EXPECT_TRUE(ClosePortOnce()) << "the worker closes while the reader drains";
            EXPECT_EQ(ReaderExit(hReader), 0);
        } else {
            SimPlug(hCtl, FALSE);
            // The worker goes on taking replies, so a drain under way ends.
            for (int t = 0; t < 300 && WaitForSingleObject(hReader, 10) == WAIT_TIMEOUT; t++)
                ConsumeReply();
            EXPECT_EQ(ReaderExit(hReader), 0);
            EXPECT_FALSE(ClosePortOnce()) << "the reader closed it already";
        }
        EXPECT_FALSE(ClosePortOnce());
        // Records trail the calls.  A pulled plug drops the port in the
        // driver, which then records no close of its own.
        for (int t = 0; t < 6 && SimReadRecords(hCtl, 50, &records) >= 0; t++) {}
        size_t closes = 0, afterClose = 0;
        for (const SIM_RECORD& r : records) {
            if (r.dwKind == SIMREC_CLOSE) closes++;
            else if (closes > 0 && r.dwKind == SIMREC_IOCTL) afterClose++;
        }
        EXPECT_LE(closes, 1u);
        EXPECT_TRUE(closes == 1 || i % 2 == 1) << "no close recorded";
        EXPECT_EQ(afterClose, 0u) << "a request reached the port after its close";
    }
    SimPlug(hCtl, FALSE);
    SimClose(hCtl);
}

} // namespace
