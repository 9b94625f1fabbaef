// The device link against the stand-in driver, below what whole runs show:
// the settings the port gets, the reader's pairs, and the port closed once
// while the reader races the worker.  The test is the tool's worker (calling
// the real link code) and, on a thread of its own, the handheld.
#include "rig/harness/harness.h"

#include "common/globals.h"
#include "link/link.h"
#include "link/port_lock.h"
#include "log/runlog.h"

namespace {

class Link : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        InitPortLock();
        InitRunLog();
    }
    void SetUp() override
    {
        ASSERT_TRUE(device.Ok()) << "stand-in driver not running";
        bStopReader = 0;
        for (auto& b : ReplyBuffer) b = 0;
        pReplyWrite = ReplyBuffer;
    }
    void TearDown() override { ClosePortOnce(); }

    // Starts the real reader thread and waits until it runs.
    HANDLE StartReader()
    {
        bReaderReady = 0;
        HANDLE hThread = CreateThread(nullptr, 0, UsbReaderThread, nullptr, 0, nullptr);
        while (hThread != nullptr && bReaderReady == 0) Sleep(1);
        return hThread;
    }
    // Waits until bytes 0 and 1 of the reply buffer hold the pair.
    bool ReplyArrives(BYTE b0, BYTE b1, DWORD timeoutMs = 3000)
    {
        for (DWORD t = 0; t < timeoutMs; t += 5) {
            if (ReplyBuffer[0] == b0 && ReplyBuffer[1] == b1) return true;
            Sleep(5);
        }
        return false;
    }
    // Ends a reader thread; its exit code, or -1 if it did not end in time.
    long ReaderExit(HANDLE hThread, DWORD timeoutMs = 3000)
    {
        long code = -1;
        if (WaitForSingleObject(hThread, timeoutMs) == WAIT_OBJECT_0) {
            DWORD dw = 0;
            GetExitCodeThread(hThread, &dw);
            code = static_cast<long>(dw);
        }
        CloseHandle(hThread);
        return code;
    }
    Handheld device;
};

TEST_F(Link, OpenAppliesSettingsAndRaisesLines)
{
    ASSERT_EQ(OpenLinkPort(), 1);
    // Records trail the calls: wait for the last change, RTS going up.
    std::vector<SIM_SETTINGS> changes;
    for (int i = 0; i < 300 && (changes.empty() || !changes.back().rts); i++) {
        if (i > 0) Sleep(10);
        changes.clear();
        for (const SIM_RECORD& r : device.Records(SIMREC_SETTINGS, 1)) {
            SIM_SETTINGS one;
            memcpy(&one, r.data.data(), sizeof(one));
            changes.push_back(one);
        }
    }
    ASSERT_FALSE(changes.empty());
    const SIM_SETTINGS& s = changes.back();
    ASSERT_GE(changes.size(), 2u);
    EXPECT_EQ(changes[changes.size() - 2].dtr, 1u) << "DTR goes up before RTS";
    EXPECT_EQ(changes[changes.size() - 2].rts, 0u) << "DTR goes up before RTS";
    EXPECT_EQ(s.baud, 115200u);
    EXPECT_EQ(s.dataBits, 8);
    EXPECT_EQ(s.parity, 0) << "no parity";
    EXPECT_EQ(s.stopBits, 0) << "one stop bit";
    EXPECT_EQ(s.dtr, 1u);
    EXPECT_EQ(s.rts, 1u);
    EXPECT_EQ(s.controlHandShake & 0x18u, 0u) << "no CTS or DSR flow control";
    EXPECT_EQ(s.flowReplace & 0x03u, 0u) << "no XON/XOFF";
}

TEST_F(Link, ReaderKeepsLatestPairInBytesZeroAndOne)
{
    ASSERT_EQ(OpenLinkPort(), 1);
    HANDLE hReader = StartReader();
    ASSERT_NE(hReader, nullptr);
    ReplyBuffer[0] = 0;
    ReplyBuffer[1] = 0;
    pReplyWrite = ReplyBuffer;

    ASSERT_TRUE(device.Send({0x05, 0x00}));
    ASSERT_TRUE(ReplyArrives(0x05, 0x00));
    for (int i = 2; i < REPLY_BUFFER_SIZE; i++) ASSERT_EQ(ReplyBuffer[i], 0) << "byte " << i;

    ASSERT_TRUE(device.Send({0x04, 0x00}));
    ASSERT_TRUE(device.Send({0x20, 0x00}));
    EXPECT_TRUE(ReplyArrives(0x20, 0x00)) << "a newer pair overwrites the one not taken";

    ReplyBuffer[0] = 0;
    ReplyBuffer[1] = 0;
    pReplyWrite = ReplyBuffer;
    ASSERT_TRUE(device.Send({0x00, 0x07}));
    Sleep(300);
    EXPECT_EQ(ReplyBuffer[0], 0) << "a pair starting 00 is never stored";
    EXPECT_EQ(ReplyBuffer[1], 0);

    ASSERT_TRUE(device.Send({0x04, 0x00}));
    EXPECT_TRUE(ReplyArrives(0x04, 0x00)) << "the reader went back to waiting";
    ClosePortOnce();
    EXPECT_EQ(ReaderExit(hReader), 0);
    EXPECT_EQ(bReaderReady, 1) << "stays set after the thread ended";
}

// The worker closing the port while the reader drains, and the reader ending
// first because the handheld went away: either way the port is closed once
// and nothing reaches the driver after the close.
TEST_F(Link, CloseRacesWithReaderRepeatedly)
{
    for (int i = 0; i < 40; i++) {
        SCOPED_TRACE(i);
        device.Plug(true);
        device.Forget();
        ASSERT_EQ(OpenLinkPort(), 1);
        HANDLE hReader = StartReader();
        ASSERT_TRUE(device.Send({0x04, 0x00}));
        Sleep(static_cast<DWORD>(i % 7));
        if (i % 2 == 0) {
            EXPECT_TRUE(ClosePortOnce()) << "the worker closes while the reader drains";
            EXPECT_EQ(ReaderExit(hReader), 0);
        } else {
            device.Plug(false);
            // The worker goes on taking replies, so a drain under way ends.
            for (int t = 0; t < 300 && WaitForSingleObject(hReader, 10) == WAIT_TIMEOUT; t++)
                ReplyBuffer[0] = 0;
            EXPECT_EQ(ReaderExit(hReader), 0);
            EXPECT_FALSE(ClosePortOnce()) << "the reader closed it already";
        }
        EXPECT_FALSE(ClosePortOnce());
        // A pulled plug drops the port in the driver, which then records no
        // close of its own.
        std::vector<SIM_RECORD> all = device.Records(SIMREC_CLOSE, i % 2 == 0 ? 1 : 0);
        Sleep(20);
        all = device.Records();
        size_t closes = 0, afterClose = 0;
        for (const SIM_RECORD& r : all) {
            if (r.dwKind == SIMREC_CLOSE) closes++;
            else if (closes > 0 && r.dwKind == SIMREC_IOCTL) afterClose++;
        }
        if (i % 2 == 0) EXPECT_EQ(closes, 1u);
        else EXPECT_LE(closes, 1u);
        EXPECT_EQ(afterClose, 0u) << "a request reached the port after its close";
        for (auto& b : ReplyBuffer) b = 0;
        pReplyWrite = ReplyBuffer;
    }
}

} // namespace
