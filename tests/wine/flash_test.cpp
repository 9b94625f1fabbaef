// Whole updates with the real executable, the simulated handheld behind the
// stand-in driver, and the operator pressing OK: what the user sees, what
// reached the handheld, and the exit code, on every path.
#include "rig/harness/harness.h"

namespace {

constexpr uint32_t MiB = 1048576;
const char SZ_LOST[] = "Lost USB connection!";
const char SZ_OPEN_FAILED[] =
    "Can't open USB port.\r\nPlease re-plug in USB cable, then rerun host program.";

// A run of the tool against the simulator in a scratch folder of its own.
class Flash : public testing::Test {
protected:
    void SetUp() override
    {
        dir = ScratchDir(testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override
    {
        if (sim.proc.hProcess != nullptr) StopSim(sim);
    }
    // Starts the simulator, then the tool, and watches the tool to its end.
    void Run(const std::string& simOptions, DWORD limitMs = 60000, DWORD okDelayMs = 200)
    {
        sim = StartSim(dir, simOptions);
        ASSERT_TRUE(sim.ready) << "simulator did not start: " << simOptions;
        run = StartTool(dir);
        ASSERT_NE(run.hDlg, nullptr) << "no progress dialog";
        FinishTool(run, limitMs, okDelayMs);
        StopSim(sim);
    }
    // What the handheld received.
    std::vector<uint8_t> Wire() const { return ReadAll(sim.dataPath); }

    std::string dir;
    SimRun sim;
    ToolRun run;
};

// Full flashes: the wire carries exactly connect byte, length word, body and
// the deferred halves; the bar stops short of the head, the user sees
// "Flash Done!" and the percentage reaches 100 after it.
struct FullCase {
    uint32_t size;
    const char* simOptions;
    int blocks;
    const char* lastPercent;
};

// Names a case in test output instead of dumping its bytes.
void PrintTo(const FullCase& c, std::ostream* os) { *os << c.size << " bytes " << c.simOptions; }

class FullFlash : public Flash, public testing::WithParamInterface<FullCase> {};

TEST_P(FullFlash, SendsEveryRegionInOrderAndEndsDone)
{
    const FullCase& c = GetParam();
    WriteImage(dir, c.size);
    Run(c.simOptions, 180000);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_ONLY_BOX(run, "Message", "Flash Done!", "dialog");
    ASSERT_EQ(run.atBox.size(), 1u);
    const OpDialog& d = run.atBox[0];
    EXPECT_EQ(d.barMax, static_cast<int>(c.size));
    EXPECT_EQ(d.barPos, static_cast<int>(c.size - 262144));
    EXPECT_EQ(d.percent, c.lastPercent);
    EXPECT_EQ(d.rect.right - d.rect.left, 0) << "shrunk before the box";
    ASSERT_GE(run.percents.size(), 2u);
    EXPECT_EQ(run.percents[run.percents.size() - 2], c.lastPercent);
    EXPECT_EQ(run.percents.back(), "100");

    std::vector<uint8_t> wire = Wire(), expected = ExpectedWire(c.size);
    ASSERT_EQ(wire.size(), expected.size());
    EXPECT_TRUE(wire == expected) << "bytes differ from the image's regions";
    EXPECT_TRUE(SimLogHas(sim, "result connect=1 length=" + std::to_string(c.size - 262144) +
                                   " blocks=" + std::to_string(c.blocks)));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FullFlash,
    testing::Values(FullCase{524288, "", 2, "50"},
                    FullCase{524288 + 3 * 131072, "--ready skew --repeat-ready 2", 5, "71"},
                    FullCase{32 * MiB, "--rom 32", 254, "99"}),
    [](const testing::TestParamInfo<FullCase>& param) {
        return "Image" + std::to_string(param.param.size);
    });

// An image larger than the ROM the handheld reports: the refusal names M and
// the ROM, and nothing follows the length word on the wire.
struct RomCase {
    uint32_t rom;
    uint32_t size;
    uint32_t megabytes;
};

void PrintTo(const RomCase& c, std::ostream* os) { *os << c.size << " bytes, " << c.rom << " MiB ROM"; }

class RomRefusal : public Flash, public testing::WithParamInterface<RomCase> {};

TEST_P(RomRefusal, RefusesWithSizesAndSendsNothingMore)
{
    const RomCase& c = GetParam();
    WriteImage(dir, c.size);
    Run("--rom " + std::to_string(c.rom));
    EXPECT_EQ(run.exitCode, 0);
    std::string text = "Flash ROM size is not enough!\r\nImage File size : " +
                       std::to_string(c.megabytes) + " Mbytes\r\nFlash ROM size : " +
                       std::to_string(c.rom) + " Mbytes";
    EXPECT_ONLY_BOX(run, "Error", text.c_str(), "dialog");
    std::vector<uint8_t> wire = Wire(), expected = ExpectedWire(c.size);
    expected.resize(5);
    EXPECT_TRUE(wire == expected) << wire.size() << " bytes on the wire, expected 5";
}

INSTANTIATE_TEST_SUITE_P(EveryRom, RomRefusal,
                         testing::Values(RomCase{32, 34603008, 33}, RomCase{24, 26214400, 25},
                                         RomCase{16, 17825792, 17}, RomCase{8, 9437184, 9}),
                         [](const testing::TestParamInfo<RomCase>& param) {
                             return "Rom" + std::to_string(param.param.rom);
                         });

TEST_F(Flash, SilentHandheldEndsAfterHandshakeWithOneBox)
{
    WriteImage(dir, 524288);
    Run("--ready none", 20000, 3000);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_ONLY_BOX(run, "Error", SZ_LOST, "dialog");
    EXPECT_EQ(Wire(), std::vector<uint8_t>{0x41});
}

// A handheld that is plugged in but takes nothing: the connect byte's write
// never completes, and the handshake timer still ends the run.
TEST_F(Flash, HandheldTakingNothingEndsAfterHandshake)
{
    HSIMCTL hCtl = SimOpenControl();
    ASSERT_NE(hCtl, nullptr) << "stand-in driver not running";
    SimPlug(hCtl, TRUE);
    WriteImage(dir, 524288);
    run = StartTool(dir);
    ASSERT_NE(run.hDlg, nullptr);
    FinishTool(run, 20000);
    SimPlug(hCtl, FALSE);
    SimClose(hCtl);
    EXPECT_EQ(run.exitCode, 0) << "-1: still running after 20 s";
    EXPECT_ONLY_BOX(run, "Error", SZ_LOST, "dialog");
}

// The watchdog allows 30 s between block requests.
TEST_F(Flash, RequestAfter29SecondsKeepsGoing)
{
    WriteImage(dir, 524288 + 131072);
    Run("--gap 2:29000", 90000);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_ONLY_BOX(run, "Message", "Flash Done!", "dialog");
    EXPECT_TRUE(Wire() == ExpectedWire(524288 + 131072));
}

TEST_F(Flash, RequestAfter31SecondsIsTooLate)
{
    WriteImage(dir, 524288 + 131072);
    Run("--gap 2:31000", 90000);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_ONLY_BOX(run, "Error", SZ_LOST, "dialog");
    std::vector<uint8_t> expected = ExpectedWire(524288 + 131072);
    expected.resize(5 + 131072);
    EXPECT_TRUE(Wire() == expected) << "one block, then nothing";
}

TEST_F(Flash, MissingImageNeverOpensPort)
{
    Run("");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_ONLY_BOX(run, "Error", "Can't open nk.nb0", "main");
    EXPECT_FALSE(SimLogHas(sim, "open"));
}

// Sizes that can't be sent as the exchange needs are refused before the
// device is touched.
class BadImage : public Flash, public testing::WithParamInterface<uint32_t> {};

TEST_P(BadImage, RefusedBeforeThePortIsOpened)
{
    WriteImage(dir, GetParam());
    Run("");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_ONLY_BOX(run, "Error", "Invalid nk.nb0 file size", "main");
    EXPECT_FALSE(SimLogHas(sim, "open"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BadImage, testing::Values(0u, 262143u, 524287u, 34603007u));

TEST_F(Flash, AbsentDeviceOneBox)
{
    WriteImage(dir, 524288);
    Run("--absent");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_ONLY_BOX(run, "Error", SZ_OPEN_FAILED, "dialog");
}

// Another program holding the port: the tool can't use it and says so once.
// (Windows refuses the open; the stand-in driver refuses every request.)
TEST_F(Flash, PortHeldElsewhereOneBox)
{
    WriteImage(dir, 524288);
    sim = StartSim(dir, "");
    ASSERT_TRUE(sim.ready);
    HANDLE hHolder = CreateFileA("\\\\.\\WCEUSBSH001", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(hHolder, INVALID_HANDLE_VALUE);
    run = StartTool(dir);
    ASSERT_NE(run.hDlg, nullptr);
    FinishTool(run, 30000);
    CloseHandle(hHolder);
    StopSim(sim);
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.boxes.size(), 1u) << DescribeBoxes(run);
    EXPECT_TRUE(run.boxes[0].text == SZ_LOST || run.boxes[0].text == SZ_OPEN_FAILED)
        << DescribeBoxes(run);
    EXPECT_TRUE(Wire().empty()) << "nothing of the tool's reached the handheld";
}

TEST_F(Flash, CursorTurnsToArrowWhenDataPhaseBegins)
{
    WriteImage(dir, 524288);
    sim = StartSim(dir, "--gap 1:4000");
    ASSERT_TRUE(sim.ready);
    OpCursorNow(); // learns the reference shapes now: the wait phase is short
    run = StartTool(dir);
    ASSERT_NE(run.hDlg, nullptr);
    EXPECT_EQ(OpCursorOver(run.hDlg), "wait");
    for (int i = 0; i < 100 && !SimLogHas(sim, "write 4"); i++) Sleep(50);
    Sleep(300);
    EXPECT_EQ(OpCursorNow(), "arrow") << "without moving the pointer";
    FinishTool(run, 30000);
    EXPECT_EQ(run.exitCode, 0);
}

// The desktop around a run: the sync software's windows, matched by exact
// title among unowned top-level windows, and the update record in HKCU.
const char SZ_RECORD_KEY[] = "Software\\Tessaride";

// A sync stand-in process with one window; waits until the window exists.
OpProcess StartStub(const std::string& args)
{
    OpProcess stub = OpLaunch(BinExe("syncstub.exe"), args, "");
    for (int i = 0; i < 200 && stub.hProcess != nullptr && OpTopWindows(stub.dwProcessId).empty(); i++)
        Sleep(25);
    return stub;
}

TEST_F(Flash, EndsSyncSoftwareAndClearsRecordLeavingTheRest)
{
    HKEY hKey;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, SZ_RECORD_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    DWORD dwOne = 1;
    RegSetValueExA(hKey, "Flash", 0, REG_DWORD, reinterpret_cast<BYTE*>(&dwOne), sizeof(dwOne));
    RegSetValueExA(hKey, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("4.21"), 5);
    RegSetValueExA(hKey, "Owner", 0, REG_SZ, reinterpret_cast<const BYTE*>("someone"), 8);
    RegCloseKey(hKey);

    struct Stub {
        const char* args;
        bool bEnded;
        OpProcess proc;
    } stubs[] = {
        {"DccMan", true, {}},
        {"\"WCES Manager Thunk Window\"", true, {}},
        {"--owned DccMan", false, {}},
        {"dccman", false, {}},
        {"\"DccMan \"", false, {}},
    };
    for (Stub& stub : stubs) {
        stub.proc = StartStub(stub.args);
        ASSERT_NE(stub.proc.hProcess, nullptr) << stub.args;
    }
    WriteImage(dir, 524288);
    Run("");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_ONLY_BOX(run, "Message", "Flash Done!", "dialog");
    for (Stub& stub : stubs) {
        bool bEnded = WaitForSingleObject(stub.proc.hProcess, 0) == WAIT_OBJECT_0;
        EXPECT_EQ(bEnded, stub.bEnded) << stub.args;
        OpWaitExit(stub.proc, 0);
    }

    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SZ_RECORD_KEY, 0, KEY_READ, &hKey), ERROR_SUCCESS);
    DWORD dwFlash = 7, cb = sizeof(dwFlash), dwType = 0;
    EXPECT_EQ(RegQueryValueExA(hKey, "Flash", nullptr, &dwType, reinterpret_cast<BYTE*>(&dwFlash), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(dwFlash, 0u);
    char szText[32] = "x";
    cb = sizeof(szText);
    RegQueryValueExA(hKey, "Version", nullptr, &dwType, reinterpret_cast<BYTE*>(szText), &cb);
    EXPECT_STREQ(szText, "");
    cb = sizeof(szText);
    RegQueryValueExA(hKey, "Owner", nullptr, &dwType, reinterpret_cast<BYTE*>(szText), &cb);
    EXPECT_STREQ(szText, "someone") << "values outside the record are left alone";
    RegCloseKey(hKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, SZ_RECORD_KEY);
}

TEST_F(Flash, MissingRecordKeyStaysMissing)
{
    RegDeleteKeyA(HKEY_CURRENT_USER, SZ_RECORD_KEY);
    WriteImage(dir, 524288);
    Run("");
    EXPECT_ONLY_BOX(run, "Message", "Flash Done!", "dialog");
    HKEY hKey;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SZ_RECORD_KEY, 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
}

// While the image goes out, nobody can change it: others may only read it.
TEST_F(Flash, ImageStaysReadOnlyForOthersDuringTransfer)
{
    WriteImage(dir, 524288 + 131072);
    sim = StartSim(dir, "--gap 1:3000");
    ASSERT_TRUE(sim.ready);
    run = StartTool(dir);
    ASSERT_NE(run.hDlg, nullptr);
    for (int i = 0; i < 100 && !SimLogHas(sim, "write 4"); i++) Sleep(50);
    std::string path = OpWinePath(dir + "/nk.nb0");
    SetLastError(0xdeadbeef);
    HANDLE hWriter = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(hWriter, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (hWriter != INVALID_HANDLE_VALUE) CloseHandle(hWriter);
    HANDLE hReader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(hReader, INVALID_HANDLE_VALUE) << "reading stays allowed";
    if (hReader != INVALID_HANDLE_VALUE) CloseHandle(hReader);
    FinishTool(run, 30000);
    EXPECT_ONLY_BOX(run, "Message", "Flash Done!", "dialog");
}

// A write the driver fails, or completes short, in the data phase stops the
// run: nothing after it reaches the handheld and the user is told the link
// was lost.
class FailedWrite : public Flash, public testing::WithParamInterface<const char*> {};

TEST_P(FailedWrite, StopsTheRunMidBlock)
{
    WriteImage(dir, 524288 + 2 * 131072);
    Run(std::string("--fault ") + GetParam() + ":3:1");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_ONLY_BOX(run, "Error", SZ_LOST, "dialog");
    std::vector<uint8_t> wire = Wire(), expected = ExpectedWire(524288 + 2 * 131072);
    ASSERT_LT(wire.size(), 5u + 131072u) << "the block went on after the failed write";
    expected.resize(wire.size());
    EXPECT_TRUE(wire == expected);
}

INSTANTIATE_TEST_SUITE_P(FailedAndShort, FailedWrite, testing::Values("write", "short"));

} // namespace
