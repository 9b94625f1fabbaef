// Start-up and the progress dialog, with the real executable under Wine: one
// copy at a time, the dialog's look, keys that must not close it, and the
// wait cursor.  (How a timer's expiry ends the run, every whole run shows.)
#include "rig/harness/harness.h"

namespace {

const char SZ_PROGRESS_TEXT[] =
    "Updating ROM image on your device...\r\n\r\nPlease do not remove the USB connection from "
    "the device. Remember, the operation will take about 4 minutes.";

class Startup : public testing::Test {
protected:
    void SetUp() override
    {
        dir = ScratchDir(testing::UnitTest::GetInstance()->current_test_info()->name());
        WriteImage(dir, 524288);
        // The handheld waits 25 s before it asks for the first block, so
        // the dialog stays up for as long as a test needs.
        sim = StartSim(dir, "--gap 1:25000");
        ASSERT_TRUE(sim.ready) << "simulator did not start";
        OpCursorNow(); // learns the reference shapes before the short wait phase
        run = StartTool(dir);
        ASSERT_NE(run.hDlg, nullptr) << "no progress dialog";
    }
    void TearDown() override
    {
        if (run.proc.hProcess != nullptr) OpWaitExit(run.proc, 0);
        if (sim.proc.hProcess != nullptr) StopSim(sim);
    }
    SimRun sim;
    std::string dir;
    ToolRun run;
};

TEST_F(Startup, DialogOpensCentredWithMessageAndHourglass)
{
    OpDialog d = OpReadDialog(run.hDlg);
    EXPECT_EQ(d.caption, "Quenlow v1.1");
    EXPECT_EQ(d.message.size(), 147u);
    EXPECT_EQ(OpEscape(d.message), OpEscape(SZ_PROGRESS_TEXT));
    EXPECT_EQ(d.percent, "0");
    EXPECT_EQ(d.barPos, 0);
    EXPECT_TRUE(d.visible);
    SIZE screen = OpScreenSize();
    int cx = d.rect.right - d.rect.left, cy = d.rect.bottom - d.rect.top;
    EXPECT_EQ(d.rect.left, (screen.cx - cx) / 2) << "width " << cx;
    EXPECT_EQ(d.rect.top, (screen.cy - cy) / 2) << "height " << cy;
    EXPECT_EQ(OpCursorOver(run.hDlg), "wait");
    OpScreenshot(ArtefactPath("startup-dialog.png"));

    // The hidden main window is there, and never shown.
    int mainWindows = 0;
    for (HWND hWnd : OpTopWindows(run.proc.dwProcessId)) {
        char szClass[32] = "";
        GetClassNameA(hWnd, szClass, sizeof(szClass));
        mainWindows += strcmp(szClass, "SETUP") == 0 && !IsWindowVisible(hWnd) ? 1 : 0;
    }
    EXPECT_EQ(mainWindows, 1);
}

TEST_F(Startup, EnterEscapeAndAltF4LeaveDialogOpen)
{
    OpPressKey(run.hDlg, VK_RETURN, false);
    OpPressKey(run.hDlg, VK_ESCAPE, false);
    OpPressKey(run.hDlg, VK_F4, true);
    Sleep(1000);
    EXPECT_TRUE(IsWindow(run.hDlg));
    EXPECT_TRUE(IsWindowVisible(run.hDlg));
    EXPECT_EQ(OpFindBox(run.proc.dwProcessId, 0), nullptr);
    EXPECT_EQ(WaitForSingleObject(run.proc.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(Startup, SecondCopyEndsAtOnceAndLeavesFirstAlone)
{
    OpProcess second = OpLaunch(ToolExe(), "", OpWinePath(dir));
    ASSERT_NE(second.hProcess, nullptr);
    EXPECT_EQ(OpWaitExit(second, 10000), 0);
    EXPECT_TRUE(IsWindowVisible(run.hDlg));
    EXPECT_EQ(OpFindBox(run.proc.dwProcessId, 0), nullptr);
}

} // namespace
