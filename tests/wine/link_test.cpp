// The device link against the stand-in driver: the test is the tool's worker
// (calling the real link code) and, on a thread of its own, the handheld.
#include "rig/harness/harness.h"

#include "common/globals.h"
#include "link/link.h"
#include "link/port_lock.h"
#include "log/runlog.h"

namespace {

const char SZ_OPEN_FAILED[] =
    "Can't open USB port.\r\nPlease re-plug in USB cable, then rerun host program.";

// Stand-ins for the tool's windows: a main window that counts WM_CLOSE, and a
// window in the progress dialog's place that owns the failure box.
LONG lCloseRequests = 0;

LRESULT CALLBACK CountingWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_CLOSE) {
        InterlockedIncrement(&lCloseRequests);
        return 0;
    }
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

// Sizes of the host's writes, in order.
std::vector<size_t> WriteSizes(const std::vector<SIM_RECORD>& records)
{
    std::vector<size_t> sizes;
    for (const SIM_RECORD& r : records)
        if (r.dwKind == SIMREC_WRITE) sizes.push_back(r.data.size());
    return sizes;
}

class Link : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        InitPortLock();
        InitRunLog();
        WNDCLASSA wc = {};
        wc.lpfnWndProc = CountingWndProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "LinkTestWindow";
        RegisterClassA(&wc);
        hMainWnd = CreateWindowExA(0, wc.lpszClassName, "main", WS_POPUP, 0, 0, 10, 10, nullptr,
                                   nullptr, wc.hInstance, nullptr);
        hProgressDlg = CreateWindowExA(0, wc.lpszClassName, "dialog", WS_POPUP, 0, 0, 10, 10,
                                       nullptr, nullptr, wc.hInstance, nullptr);
    }
    void SetUp() override
    {
        ASSERT_TRUE(device.Ok()) << "stand-in driver not running";
        lCloseRequests = 0;
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

// A block reaches the device as ten writes of 12,288 bytes and one of 8,192,
// in order; an empty send is one empty write.
TEST_F(Link, SendCutsIntoPiecesOf12288)
{
    ASSERT_EQ(OpenLinkPort(), 1);
    std::vector<BYTE> buffer(131072);
    for (size_t i = 0; i < buffer.size(); i++) buffer[i] = ImageByte(static_cast<uint32_t>(i));
    std::vector<size_t> block(10, 12288);
    block.push_back(8192);
    EXPECT_TRUE(LinkSend(buffer.data(), 131072));
    std::vector<SIM_RECORD> writes = device.Records(SIMREC_WRITE, block.size());
    EXPECT_EQ(WriteSizes(writes), block);
    std::vector<BYTE> wire;
    for (const SIM_RECORD& r : writes) wire.insert(wire.end(), r.data.begin(), r.data.end());
    EXPECT_TRUE(wire == buffer) << "bytes out of order";
    device.Forget();
    EXPECT_TRUE(LinkSend(buffer.data(), 0));
    EXPECT_EQ(WriteSizes(device.Records(SIMREC_WRITE, 1)), std::vector<size_t>{0});
}

TEST_F(Link, FailedWriteIsReported)
{
    ASSERT_EQ(OpenLinkPort(), 1);
    std::vector<BYTE> buffer(40000, 0x5A);
    device.Fail(SIMREQ_WRITE, 0, 1);
    EXPECT_FALSE(LinkWrite(buffer.data(), 100)) << "write that failed";
    device.Fail(SIMREQ_SHORT_WRITE, 1, 1);
    device.Forget();
    EXPECT_FALSE(LinkSend(buffer.data(), 40000)) << "second piece came back short";
    EXPECT_EQ(device.Records(SIMREC_WRITE, 2).size(), 2u) << "no piece after the short one";
    EXPECT_TRUE(LinkSend(buffer.data(), 10)) << "the link still works";
}

// No handheld: one box owned by the dialog, then WM_CLOSE to the main
// window, and no handle.  (A port held by another program fails the open on
// Windows; the stand-in driver can't refuse an open under Wine, so that case
// is shown end to end with the tool.)
TEST_F(Link, FailedOpenShowsOneBoxThenRequestsClose)
{
    device.Plug(false);
    std::vector<OpBox> boxes;
    LONG lClosesAtBox = -1;
    std::thread presser([&] {
        HWND hBox = OpFindBox(GetCurrentProcessId(), 5000);
        if (hBox == nullptr) return;
        boxes.push_back(OpReadBox(hBox));
        lClosesAtBox = lCloseRequests;
        OpPressOk(hBox);
        for (int i = 0; i < 200 && IsWindow(hBox); i++) Sleep(5);
        if ((hBox = OpFindBox(GetCurrentProcessId(), 1000)) != nullptr) {
            boxes.push_back(OpReadBox(hBox));
            OpPressOk(hBox);
        }
    });
    int result = OpenLinkPort();
    presser.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(hLinkPort, INVALID_HANDLE_VALUE);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(OpEscape(boxes[0].text), OpEscape(SZ_OPEN_FAILED));
    EXPECT_EQ(boxes[0].hOwner, hProgressDlg);
    EXPECT_EQ(lClosesAtBox, 0) << "WM_CLOSE only after the box";
    EXPECT_EQ(lCloseRequests, 1);
    EXPECT_FALSE(ClosePortOnce()) << "nothing to close";
}

TEST_F(Link, ReopensAfterCloseManyTimes)
{
    for (int i = 0; i < 50; i++) {
        SCOPED_TRACE(i);
        ASSERT_EQ(OpenLinkPort(), 1);
        EXPECT_TRUE(ClosePortOnce());
        EXPECT_FALSE(ClosePortOnce()) << "closed once only";
    }
    EXPECT_EQ(lCloseRequests, 0);
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

TEST_F(Link, FailedFirstArmEndsReaderAndLeavesBufferAlone)
{
    ASSERT_EQ(OpenLinkPort(), 1);
    for (int i = 0; i < REPLY_BUFFER_SIZE; i++) ReplyBuffer[i] = static_cast<BYTE>(i | 1);
    device.Fail(SIMREQ_ARM, 0, 1);
    HANDLE hReader = StartReader();
    EXPECT_EQ(bReaderReady, 1);
    EXPECT_EQ(ReaderExit(hReader), 0);
    for (int i = 0; i < REPLY_BUFFER_SIZE; i++) ASSERT_EQ(ReplyBuffer[i], (i | 1) & 0xFF) << i;
    EXPECT_FALSE(ClosePortOnce()) << "the reader closed the port";
    EXPECT_EQ(device.Records(SIMREC_CLOSE, 1).size(), 1u);
}

TEST_F(Link, StopRequestWaitsForThePendingWait)
{
    ASSERT_EQ(OpenLinkPort(), 1);
    HANDLE hReader = StartReader();
    Sleep(200);
    bStopReader = 1;
    EXPECT_EQ(WaitForSingleObject(hReader, 500), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the reader must not notice the stop while it waits";
    ASSERT_TRUE(device.Send({0x04, 0x00}));
    ASSERT_TRUE(ReplyArrives(0x04, 0x00)) << "the cycle runs first";
    ReplyBuffer[0] = 0;
    EXPECT_EQ(ReaderExit(hReader), 0);
    EXPECT_FALSE(ClosePortOnce()) << "the reader closed the port";
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
