// Whole updates with the real executable, the simulated handheld behind the
// stand-in driver, and the operator pressing OK: how each run ends, what the
// user sees, and every byte that reached the handheld.
#include "rig/harness/harness.h"

#include <algorithm>

namespace {

constexpr uint32_t KiB = 1024, MiB = 1024 * KiB, BLOCK = 128 * KiB;
const char SZ_DONE[] = "Flash Done!";
const char SZ_RECORD_KEY[] = "Software\\Tessaride"; // the update record

// A scratch folder named after the running test.
std::string TestDir()
{
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    return ScratchDir(std::string(info->test_suite_name()) + "." + info->name());
}

// Handhelds that once showed a fault or stand for a kind of ending; the
// oracle says how each must end.
const Schedule SCHEDULES[] = {
    {"Image512KiB", 512 * KiB, ""},
    {"RomRefused", 33 * MiB, "--rom 32"},
    {"MissingImage", 0, ""},
    {"BadImageSize", 512 * KiB - 1, ""},
    {"AbsentHandheld", 512 * KiB, "--absent"},
    // Replies back to back: a ROM-size reply is never lost behind the block
    // request that follows it at once.
    {"RomAcceptedRequestBehind", 9 * MiB - BLOCK, "--rom 8 --rom-gap 0"},
    {"RomRefusedRequestBehind", 9 * MiB, "--rom 8 --rom-gap 0"},
    {"RomTwiceRefused", 17 * MiB, "--rom 16 --rom-twice --rom-gap 0"},
    {"RomTwiceAccepted", 9 * MiB - BLOCK, "--rom 8 --rom-twice"},
    // A ROM-size reply judges the whole image whenever it comes: before the
    // length word (with the ready reply), or after blocks went out.
    {"RomReportedWithTheReadyReply", 17 * MiB, "--garbage 0:1000"},
    {"RomReportedAfterEightBlocks", 17 * MiB, "--garbage 8:1000"},
    {"RequestDoubled", 512 * KiB + 3 * BLOCK, "--dup 2"},
    {"ReadyOneByteOutOfStep", 512 * KiB, "--ready skew"},
    {"ReadyRepeatedMidTransfer", 512 * KiB + 2 * BLOCK, "--repeat-ready 1"},
    // Deadlines: 1 s for the ready reply, 30 s from each block request to the
    // next; once one has passed nothing more goes out, whatever comes late.
    {"ReadyAt750ms", 512 * KiB, "--ready late:750"},
    {"ReadyAt1200ms", 512 * KiB, "--ready late:1200"},
    {"ReadyAt1500ms", 512 * KiB, "--ready late:1500"},
    {"SilentHandheld", 512 * KiB, "--ready none"},
    {"HandheldTakingNothing", 512 * KiB, "--deaf"},
    {"RequestAfterStallPast30s", 512 * KiB + BLOCK, "--gap 2:31000"},
    {"WatchdogRearmedAtEachRequest", 512 * KiB + 2 * BLOCK, "--gap 2:28000 --gap 3:28000"},
    {"QuickReplyToALateReader", 512 * KiB, "--arm-delay 300"},
    {"ReaderArmHeldPastThePortDeadline", 512 * KiB, "--arm-delay 20000"},
    // The link as USB stacks deliver it: a reply split over two reads or
    // glued to the next, single stray bytes, a driver that takes 60 ms a
    // request, one that takes a second (the port's deadline passes during its
    // first open: nothing may follow the box), and a handheld that stops
    // taking a block's bytes past the watchdog (its write completes after
    // the box, and nothing more of the block follows).
    {"RomAndRequestSplitAcrossReads", 9 * MiB - BLOCK, "--rom 8 --rom-gap 0 --split 2:20"},
    {"RepliesAByteAtATimeAmidStrayBytes", 512 * KiB + 2 * BLOCK, "--split 1:15 --garbage 0:00 --garbage 1:7F"},
    {"SlowDriver", 512 * KiB + 2 * BLOCK, "--slow 60"},
    {"DriverTooSlowForThePortDeadline", 512 * KiB, "--slow 1000"},
    {"WriteHeldPastTheWatchdog", 512 * KiB + 2 * BLOCK, "--stall-after 200000:31000"},
    // The link failing under the transfer.
    {"UnpluggedMidBlock", 512 * KiB + 2 * BLOCK, "--unplug-after 200000"},
    {"ArmRequestFails", 512 * KiB, "--fault arm:0:1"},
    {"ReadOfReadyReplyFails", 512 * KiB, "--fault read:0:1"},
    {"WaitRequestFails", 512 * KiB, "--fault wait:0:1"},
    {"CycleEndFails", 512 * KiB, "--fault cycle:0:1"},
    {"GarbageBeforeAndBetweenReplies", 512 * KiB + 2 * BLOCK, "--garbage 0:EE11 --garbage 1:3344"},
    {"LengthWordWriteFails", 512 * KiB, "--fault write:1:1"},
    {"WriteFailsMidBlock", 512 * KiB + 2 * BLOCK, "--fault write:3:1"},
    {"WriteComesBackShort", 512 * KiB + 2 * BLOCK, "--fault short:3:1"},
};

class Ending : public testing::TestWithParam<Schedule> {};

TEST_P(Ending, AsJudged) { RunJudged(TestDir(), GetParam()); }

INSTANTIATE_TEST_SUITE_P(Schedules, Ending, testing::ValuesIn(SCHEDULES),
                         [](const testing::TestParamInfo<Schedule>& row) { return std::string(row.param.name); });

// A run of the tool in a scratch folder of the test's own.
class Run : public testing::Test {
protected:
    void SetUp() override { dir = TestDir(); }
    std::string dir;
};

// A whole 32 MiB flash: the percentage shows 100 after OK, and the log names
// the image by its SHA-256.
TEST_F(Run, FullFlashOfA32MiBImage)
{
    EXPECT_EQ(RunJudged(dir, {"", 32 * MiB, "--rom 32"}).run.percents.back(), "100"); // never empty at "Flash Done!"
    std::string sha256 = OpUnixOutput("sha256sum " + dir + "/nk.nb0").substr(0, 64);
    std::vector<std::string> log = ToolLog(dir);
    EXPECT_NE(std::find(log.begin(), log.end(), "image nk.nb0: 33554432 bytes, SHA-256 " + sha256),
              log.end()) << "the log names the image sent by its SHA-256";
}

// The record key missing stays missing; the log never changes the run: with a
// folder in its place the flash goes on as ever; a log grown too big keeps its
// tail, from a whole line on.
TEST_F(Run, NoRecordKeyAndLogInTheWayOrGrownChangeNothing)
{
    RegDeleteKeyA(HKEY_CURRENT_USER, SZ_RECORD_KEY);
    ASSERT_TRUE(CreateDirectoryA(OpWinePath(dir + "/quenlow.log").c_str(), nullptr));
    Outcome out = RunTool(dir, 512 * KiB, "");
    EXPECT_ONLY_BOX(out.run, "Message", SZ_DONE, "dialog");
    EXPECT_TRUE(out.wire == ExpectedWire(512 * KiB));
    HKEY hKey;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SZ_RECORD_KEY, 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(RemoveDirectoryA(OpWinePath(dir + "/quenlow.log").c_str()));
    std::string old;
    for (int i = 0; old.size() < 300 * KiB; i++) old += "old line " + std::to_string(i) + "\r\n";
    std::string lastOld = old.substr(old.rfind("old", old.size() - 3));
    FILE* pLog = fopen(OpWinePath(dir + "/quenlow.log").c_str(), "wb");
    ASSERT_NE(pLog, nullptr);
    fwrite(old.data(), 1, old.size(), pLog);
    fclose(pLog);
    RunJudged(dir, {"", 512 * KiB, ""});
    std::vector<uint8_t> bytes = ReadAll(dir + "/quenlow.log");
    std::string log(bytes.begin(), bytes.end());
    EXPECT_LT(log.size(), 128 * KiB + 4 * KiB) << "cut to its last 128 KiB, then this run";
    EXPECT_EQ(log.compare(0, 9, "old line "), 0) << "starts with a whole line";
    EXPECT_NE(log.find(lastOld), std::string::npos) << "the newest old line is kept";
}

// While the image goes out the cursor is the arrow (without moving the
// pointer), nobody can change the image (others may only read it), and nobody
// else can use the port, which the tool holds without sharing it.
TEST_F(Run, WhileTheImageGoesOut)
{
    WriteImage(dir, 512 * KiB + BLOCK);
    SimRun sim = StartSim(dir, "--gap 1:3000");
    ASSERT_TRUE(sim.ready) << sim.output;
    OpCursorNow(); // learns the reference shapes now: the wait phase is short
    ToolRun run = StartTool(dir);
    ASSERT_NE(run.hDlg, nullptr);
    EXPECT_EQ(OpCursorOver(run.hDlg), "wait");
    for (int i = 0; i < 100 && !SimLogHas(sim, "write 4"); i++) Sleep(50);
    Sleep(300);
    EXPECT_EQ(OpCursorNow(), "arrow");
    std::string path = OpWinePath(dir + "/nk.nb0");
    SetLastError(0xdeadbeef);
    HANDLE hWriter = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(hWriter, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (hWriter != INVALID_HANDLE_VALUE) CloseHandle(hWriter);
    HANDLE hReader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(hReader, INVALID_HANDLE_VALUE) << "reading stays allowed";
    if (hReader != INVALID_HANDLE_VALUE) CloseHandle(hReader);
    // Under Wine the open itself succeeds before the driver is asked; the
    // driver then refuses every request of a handle it did not let share.
    HANDLE hPort = CreateFileA("\\\\.\\WCEUSBSH001", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    DWORD dwError = hPort != INVALID_HANDLE_VALUE && GetCommState(hPort, &dcb) ? 0 : GetLastError();
    EXPECT_TRUE(dwError == ERROR_ACCESS_DENIED || dwError == ERROR_SHARING_VIOLATION) << "error " << dwError;
    if (hPort != INVALID_HANDLE_VALUE) CloseHandle(hPort);
    Outcome out{dir, 512 * KiB + BLOCK, run, sim, {}, {}};
    FinishTool(out.run, 30000);
    StopSim(out.sim);
    out.wire = ReadAll(sim.dataPath);
    out.log = SimLog(sim);
    ExpectJudged(out, Judge(out.size, "--gap 1:3000"), "");
}

// The desktop around a run: the sync software's windows, matched by exact
// title among unowned top-level windows (the first match only), and the
// update record in HKCU.
TEST_F(Run, EndsFirstSyncWindowsOwnersAndClearsTheRecord)
{
    HKEY hKey;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, SZ_RECORD_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    DWORD dwOne = 1;
    RegSetValueExA(hKey, "Flash", 0, REG_DWORD, reinterpret_cast<BYTE*>(&dwOne), sizeof(dwOne));
    RegSetValueExA(hKey, "FlashFile", 0, REG_SZ, reinterpret_cast<const BYTE*>("C:\\nk.nb0"), 10);
    RegSetValueExA(hKey, "Owner", 0, REG_SZ, reinterpret_cast<const BYTE*>("someone"), 8);
    RegCloseKey(hKey);

    // Started in this order, the later window lies above the earlier one, so
    // the walk down from the tool's window meets the second "DccMan" first:
    // one the tool may not end, and the walk stops there all the same.
    struct Stub { const char* args; bool bEnded; OpProcess proc; } stubs[] = {
        {"DccMan", false, {}}, {"--guarded DccMan", false, {}}, {"\"WCES Manager Thunk Window\"", true, {}},
        {"--owned DccMan", false, {}}, {"dccman", false, {}}, {"\"DccMan \"", false, {}}};
    for (Stub& stub : stubs) { // each waited for until its window exists
        stub.proc = OpLaunch(BinExe("syncstub.exe"), stub.args, "");
        ASSERT_NE(stub.proc.hProcess, nullptr) << stub.args;
        for (int i = 0; i < 200 && OpTopWindows(stub.proc.dwProcessId).empty(); i++) Sleep(25);
    }
    RunJudged(dir, {"", 512 * KiB, ""});
    for (size_t i = 0; i < sizeof(stubs) / sizeof(stubs[0]); i++) {
        bool bEnded = WaitForSingleObject(stubs[i].proc.hProcess, 0) == WAIT_OBJECT_0;
        EXPECT_EQ(bEnded, stubs[i].bEnded) << "stub " << i << ": " << stubs[i].args;
        OpWaitExit(stubs[i].proc, 0);
    }
    std::vector<std::string> log = ToolLog(dir);
    auto found = [](const std::string& line) { return line.find("window \"DccMan\" found") != std::string::npos; };
    EXPECT_EQ(std::count_if(log.begin(), log.end(), found), 1) << "the walk stops at the first match";

    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SZ_RECORD_KEY, 0, KEY_READ, &hKey), ERROR_SUCCESS);
    struct Value { const char* name; DWORD dwType, cbData; } values[] = {{"Flash", REG_DWORD, 4},   {"Language", REG_SZ, 20}, {"ModelID", REG_SZ, 15},
                  {"Lang", REG_SZ, 10},      {"Version", REG_SZ, 20},  {"USB", REG_DWORD, 4},
                  {"FlashFile", REG_SZ, 0}};
    for (const Value& v : values) {
        BYTE data[64], zero[64] = {};
        DWORD dwType = 0, cb = sizeof(data);
        ASSERT_EQ(RegQueryValueExA(hKey, v.name, nullptr, &dwType, data, &cb), ERROR_SUCCESS) << v.name;
        EXPECT_TRUE(dwType == v.dwType && cb == v.cbData && memcmp(data, zero, cb) == 0)
            << v.name << ": type " << dwType << ", " << cb << " bytes, all zero expected";
    }
    char szText[32] = "";
    DWORD cb = sizeof(szText);
    RegQueryValueExA(hKey, "Owner", nullptr, nullptr, reinterpret_cast<BYTE*>(szText), &cb);
    EXPECT_STREQ(szText, "someone") << "values outside the record are left alone";
    RegCloseKey(hKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, SZ_RECORD_KEY);
}

} // namespace
