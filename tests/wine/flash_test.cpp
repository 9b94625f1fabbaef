// Whole updates with the real executable, the simulated handheld behind the
// stand-in driver, and the operator pressing OK: how each run ends, what the
// user sees, and every byte that reached the handheld.
#include "rig/harness/harness.h"

#include "link/link.h"

#include <algorithm>

namespace {

constexpr uint32_t KiB = 1024, MiB = 1024 * KiB, BLOCK = 128 * KiB;
constexpr uint32_t ALL = 0xFFFFFFFF; // the whole exchange reached the handheld
const char SZ_DONE[] = "Flash Done!";
const char SZ_LOST[] = "Lost USB connection!";
const char SZ_OPEN_FAILED[] =
    "Can't open USB port.\r\nPlease re-plug in USB cable, then rerun host program.";

// The refusal for an image of M MiB and a ROM of R MiB.
std::string Refusal(int m, int r)
{
    return "Flash ROM size is not enough!\r\nImage File size : " + std::to_string(m) +
           " Mbytes\r\nFlash ROM size : " + std::to_string(r) + " Mbytes";
}

// A scratch folder named after the running test.
std::string TestDir()
{
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    return ScratchDir(std::string(info->test_suite_name()) + "." + info->name());
}

// One way a run can go, and how it must end.
struct Case {
    const char* name;
    uint32_t size;        // nk.nb0's size, 0 for none
    const char* sim;      // the simulated handheld's options
    std::string box;      // the one box of the run
    const char* owner;    // its owner: "dialog" or "main"
    const char* logEnd;   // how the log's last line names the end ('|' between choices)
    uint32_t wireMin, wireMax; // how much of the exchange reached the handheld
    DWORD okDelayMs = 300;     // how long the box stays up before OK
    DWORD limitMs = 60000;
    const char* deadlineFrom = nullptr; // the box is due deadlineMs after the last
    DWORD deadlineMs = 0;               // simulator event that starts with this
};

// How much later than its deadline a box may be seen: the timer's message,
// the dialog shrinking, the box appearing and the operator's 20 ms look.
constexpr DWORD BOX_LATE_MS = 400;

// True when the log line is "end: " and one of the '|'-separated beginnings.
bool EndsAs(const std::string& line, const std::string& choices)
{
    for (size_t from = 0; from <= choices.size();) {
        size_t bar = std::min(choices.find('|', from), choices.size());
        if (line.compare(0, 5 + bar - from, "end: " + choices.substr(from, bar - from)) == 0) return true;
        from = bar + 1;
    }
    return false;
}

// The reader's requests at the driver, a letter each ('A' arm, 'W' wait, 'C'
// cycle end), for each time the port was opened.
std::vector<std::string> ReaderRequests(const std::vector<SimEvent>& log)
{
    const struct {
        DWORD dwCode;
        const char* szSizes; // as the simulator logs them
        char letter;
    } kinds[] = {{IOCTL_LINK_ARM_MASK, "in=4 out=0", 'A'},
                 {IOCTL_LINK_WAIT_EVENT, "in=0 out=4", 'W'},
                 {IOCTL_LINK_CYCLE_END, "in=4 out=0", 'C'}};
    std::vector<std::string> sessions;
    for (const SimEvent& e : log) {
        if (e.text == "open") sessions.emplace_back();
        if (sessions.empty()) continue;
        for (const auto& kind : kinds) {
            char szPrefix[48];
            snprintf(szPrefix, sizeof(szPrefix), "ioctl 0x%lx %s ", kind.dwCode, kind.szSizes);
            if (e.text.rfind(szPrefix, 0) == 0) sessions.back() += kind.letter;
        }
    }
    return sessions;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name << " (" << c.sim << ")"; }

class Ending : public testing::TestWithParam<Case> {};

// Every run ends with exactly one box and exit code 0; the handheld got a
// prefix of the exchange, never a byte that is not the file's, and nothing
// reached it once the box was up.
TEST_P(Ending, OneBoxAndNothingButTheImageAfterIt)
{
    const Case& c = GetParam();
    Outcome out = RunTool(TestDir(), c.size, c.sim, c.limitMs, c.okDelayMs);
    EXPECT_EQ(out.run.exitCode, 0);
    EXPECT_ONLY_BOX(out.run, c.box == SZ_DONE ? "Message" : "Error", c.box.c_str(), c.owner);

    std::vector<uint8_t> expected = c.size ? ExpectedWire(c.size) : std::vector<uint8_t>();
    uint32_t wireMax = c.wireMax == ALL ? static_cast<uint32_t>(expected.size()) : c.wireMax;
    uint32_t wireMin = c.wireMin == ALL ? wireMax : c.wireMin;
    EXPECT_GE(out.wire.size(), wireMin);
    EXPECT_LE(out.wire.size(), wireMax);
    expected.resize(std::min(expected.size(), out.wire.size()));
    EXPECT_TRUE(out.wire == expected) << "bytes that are not the image's regions in order";

    for (const SimEvent& e : out.log) {
        if (e.text.compare(0, 6, "write ") == 0 && !out.run.boxTicks.empty()) {
            EXPECT_LT(e.tick, out.run.boxTicks[0] + 250) << e.text << " after the box";
        }
    }
    // Armed once, then each cycle: wait, arm again, read, end the cycle; a
    // closed port may cut the pattern short.
    for (const std::string& requests : ReaderRequests(out.log)) {
        std::string pattern = "A";
        while (pattern.size() < requests.size()) pattern += "WAC";
        EXPECT_EQ(requests, pattern.substr(0, requests.size())) << "the reader's requests, in order";
    }
    if (c.deadlineFrom != nullptr && !out.run.boxTicks.empty()) {
        DWORD from = 0;
        for (const SimEvent& e : out.log)
            if (e.text.rfind(c.deadlineFrom, 0) == 0 && e.tick <= out.run.boxTicks[0]) from = e.tick;
        ASSERT_NE(from, 0u) << "no \"" << c.deadlineFrom << "\" before the box";
        long late = static_cast<long>(out.run.boxTicks[0] - from) - static_cast<long>(c.deadlineMs);
        EXPECT_GE(late, -20) << "the box came before its deadline";
        EXPECT_LE(late, static_cast<long>(BOX_LATE_MS)) << "the box came long after its deadline";
    }
    if (c.owner == std::string("main")) {
        EXPECT_FALSE(SimLogHas(out.sim, "open")) << "the image is checked before the port";
    }
    std::vector<std::string> log = ToolLog(out.sim.logPath.substr(0, out.sim.logPath.rfind('/')));
    ASSERT_FALSE(log.empty()) << "no quenlow.log";
    EXPECT_TRUE(EndsAs(log.back(), c.logEnd)) << log.back();
}

std::string CaseName(const testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Flash, Ending, testing::Values(
    Case{"Image512KiB", 512 * KiB, "", SZ_DONE, "dialog",
         "Flash Done! 262144 image bytes",
         ALL, ALL},
    Case{"RomRefused", 33 * MiB, "--rom 32", Refusal(33, 32), "dialog",
         "refused: image of 33 MiB for a 32 MiB flash ROM",
         5, 5},
    Case{"MissingImage", 0, "", "Can't open nk.nb0", "main",
         "image: nk.nb0 can't be opened (error 2:",
         0, 0},
    Case{"BadImageSize", 512 * KiB - 1, "", "Invalid nk.nb0 file size", "main",
         "image: nk.nb0 is 524287 bytes, not",
         0, 0},
    Case{"AbsentHandheld", 512 * KiB, "--absent", SZ_OPEN_FAILED, "dialog",
         "port: \\\\.\\WCEUSBSH001 can't be opened (error 2:",
         0, 0}), CaseName);

// Replies that arrive back to back: a ROM-size reply is never lost behind the
// block request that follows it at once.
INSTANTIATE_TEST_SUITE_P(Burst, Ending, testing::Values(
    Case{"RomAcceptedRequestBehind", 9 * MiB - BLOCK, "--rom 8 --rom-gap 0", SZ_DONE, "dialog",
         "Flash Done! 9043968 image bytes",
         ALL, ALL},
    Case{"RomRefusedRequestBehind", 9 * MiB, "--rom 8 --rom-gap 0", Refusal(9, 8), "dialog",
         "refused: image of 9 MiB for a 8 MiB flash ROM",
         5, 5},
    Case{"RomTwiceRefused", 17 * MiB, "--rom 16 --rom-twice --rom-gap 0", Refusal(17, 16), "dialog",
         "refused: image of 17 MiB for a 16 MiB flash ROM",
         5, 5},
    Case{"RomTwiceAccepted", 9 * MiB - BLOCK, "--rom 8 --rom-twice", SZ_DONE, "dialog",
         "Flash Done! 9043968 image bytes",
         ALL, ALL},
    Case{"RequestDoubled", 512 * KiB + 3 * BLOCK, "--dup 2", SZ_DONE, "dialog",
         "Flash Done! 655360 image bytes",
         ALL, ALL},
    Case{"ReadyOneByteOutOfStep", 512 * KiB, "--ready skew", SZ_DONE, "dialog",
         "Flash Done! 262144 image bytes",
         ALL, ALL},
    Case{"ReadyRepeatedMidTransfer", 512 * KiB + 2 * BLOCK, "--repeat-ready 1", SZ_DONE, "dialog",
         "Flash Done! 524288 image bytes",
         ALL, ALL}), CaseName);

// Deadlines: 1 s for the ready reply, 30 s from each block request to the
// next; once a deadline has passed nothing more goes out, whatever comes late.
INSTANTIATE_TEST_SUITE_P(Timing, Ending, testing::Values(
    Case{"ReadyAt750ms", 512 * KiB, "--ready late:750", SZ_DONE, "dialog",
         "Flash Done! 262144 image bytes",
         ALL, ALL},
    Case{"ReadyAt1500ms", 512 * KiB, "--ready late:1500", SZ_LOST, "dialog",
         "lost: handshake deadline passed",
         1, 1, 3000, 60000, "connect", 1000},
    Case{"SilentHandheld", 512 * KiB, "--ready none", SZ_LOST, "dialog",
         "lost: handshake deadline passed",
         1, 1, 2000, 60000, "connect", 1000},
    Case{"HandheldTakingNothing", 512 * KiB, "--deaf", SZ_LOST, "dialog",
         "lost: handshake deadline passed",
         0, 0},
    Case{"RequestAfterStallPast30s", 512 * KiB + BLOCK, "--gap 2:31000", SZ_LOST, "dialog",
         "lost: watchdog: no block request within 30 s after block 1 of 3",
         5 + BLOCK, 5 + BLOCK, 4000, 90000, "send 04 00", 30000},
    Case{"WatchdogRearmedAtEachRequest", 512 * KiB + 2 * BLOCK, "--gap 2:28000 --gap 3:28000", SZ_DONE, "dialog",
         "Flash Done! 524288 image bytes",
         ALL, ALL, 300, 120000},
    Case{"QuickReplyToALateReader", 512 * KiB, "--arm-delay 300", SZ_DONE, "dialog",
         "Flash Done! 262144 image bytes",
         ALL, ALL},
    Case{"ReaderArmHeldPastTheDeadline", 512 * KiB, "--arm-delay 20000", SZ_LOST, "dialog",
         "lost: handshake deadline passed before the connect byte went out",
         0, 1, 300, 15000}),
    CaseName);

// The link failing under the transfer: one box, and the handheld got a clean
// prefix of the exchange.
INSTANTIATE_TEST_SUITE_P(Link, Ending, testing::Values(
    Case{"UnpluggedMidBlock", 512 * KiB + 2 * BLOCK, "--unplug-after 200000", SZ_LOST, "dialog",
         "lost: writing block 2 of 4 failed: ",
         5 + 200000, 5 + 2 * BLOCK},
    Case{"ArmRequestFails", 512 * KiB, "--fault arm:0:1", SZ_LOST, "dialog",
         "lost: writing the connect byte failed: the port had been closed|"
         "lost: handshake deadline passed",
         0, 1},
    Case{"ReadOfReadyReplyFails", 512 * KiB, "--fault read:0:1", SZ_LOST, "dialog",
         "lost: handshake deadline passed",
         1, 1},
    Case{"WaitRequestFails", 512 * KiB, "--fault wait:0:1", SZ_LOST, "dialog",
         "lost: writing the connect byte failed: the port had been closed|"
         "lost: handshake deadline passed",
         0, 1},
    Case{"CycleEndFails", 512 * KiB, "--fault cycle:0:1", SZ_LOST, "dialog",
         "lost: writing the length word failed: the port had been closed|"
         "lost: writing block 1 of 2 failed: the port had been closed|"
         "lost: watchdog",
         1, 5 + BLOCK - 1},
    Case{"GarbageBeforeAndBetweenReplies", 512 * KiB + 2 * BLOCK, "--garbage 0:EE11 --garbage 1:3344", SZ_DONE, "dialog",
         "Flash Done! 524288 image bytes",
         ALL, ALL},
    Case{"LengthWordWriteFails", 512 * KiB, "--fault write:1:1", SZ_LOST, "dialog",
         "lost: writing the length word failed: error ",
         1, 1},
    Case{"WriteFailsMidBlock", 512 * KiB + 2 * BLOCK, "--fault write:3:1", SZ_LOST, "dialog",
         "lost: writing block 1 of 4 failed: error ",
         5 + 12288, 5 + 12288},
    Case{"WriteComesBackShort", 512 * KiB + 2 * BLOCK, "--fault short:3:1", SZ_LOST, "dialog",
         "lost: writing block 1 of 4 failed: went out short, 6144 of 12288 bytes",
         5 + 12288 + 6144, 5 + 12288 + 6144}), CaseName);

// A run of the tool in a scratch folder of the test's own.
class Run : public testing::Test {
protected:
    void SetUp() override { dir = TestDir(); }
    std::string dir;
};

// The port is opened, closed and opened again before the connect byte; the
// bar counts the bytes sent (never the head) and the percentage reaches 100
// only after "Flash Done!"; the log names the image by its SHA-256.
TEST_F(Run, FullFlashOfA32MiBImage)
{
    Outcome out = RunTool(dir, 32 * MiB, "--rom 32", 120000);
    EXPECT_ONLY_BOX(out.run, "Message", SZ_DONE, "dialog");
    ASSERT_EQ(out.run.atBox.size(), 1u);
    const OpDialog& d = out.run.atBox[0];
    EXPECT_EQ(d.barMax, static_cast<int>(32 * MiB));
    EXPECT_EQ(d.barPos, static_cast<int>(32 * MiB - 256 * KiB));
    EXPECT_EQ(d.percent, "99");
    EXPECT_EQ(d.rect.right - d.rect.left, 0) << "shrunk before the box";
    ASSERT_GE(out.run.percents.size(), 2u);
    EXPECT_EQ(out.run.percents.back(), "100");
    EXPECT_TRUE(out.wire == ExpectedWire(32 * MiB));

    std::string sha256 = OpUnixOutput("sha256sum " + dir + "/nk.nb0").substr(0, 64);
    ASSERT_EQ(sha256.size(), 64u);
    std::vector<std::string> log = ToolLog(dir);
    EXPECT_NE(std::find(log.begin(), log.end(), "image nk.nb0: 33554432 bytes, SHA-256 " + sha256),
              log.end()) << "the log names the image sent by its SHA-256";

    std::vector<std::string> port; // the port's opens and closes, and the connect byte
    for (const SimEvent& e : out.log)
        if (e.text == "open" || e.text == "close" || e.text == "connect") port.push_back(e.text);
    port.resize(std::min<size_t>(port.size(), 4));
    EXPECT_EQ(port, (std::vector<std::string>{"open", "close", "open", "connect"}));
}

// The log never changes the run: with a folder in its place the flash goes
// on as ever; a log grown too big keeps its tail, from a whole line on.
TEST_F(Run, LogInTheWayChangesNothing)
{
    ASSERT_TRUE(CreateDirectoryA(OpWinePath(dir + "/quenlow.log").c_str(), nullptr));
    Outcome out = RunTool(dir, 512 * KiB, "");
    EXPECT_ONLY_BOX(out.run, "Message", SZ_DONE, "dialog");
    EXPECT_TRUE(out.wire == ExpectedWire(512 * KiB));
}

TEST_F(Run, GrownLogIsCutToItsTail)
{
    std::string old;
    for (int i = 0; old.size() < 300 * KiB; i++) old += "old line " + std::to_string(i) + "\r\n";
    std::string lastOld = old.substr(old.rfind("old", old.size() - 3));
    FILE* pLog = fopen(OpWinePath(dir + "/quenlow.log").c_str(), "wb");
    ASSERT_NE(pLog, nullptr);
    fwrite(old.data(), 1, old.size(), pLog);
    fclose(pLog);
    Outcome out = RunTool(dir, 512 * KiB, "");
    EXPECT_ONLY_BOX(out.run, "Message", SZ_DONE, "dialog");
    std::vector<uint8_t> bytes = ReadAll(dir + "/quenlow.log");
    std::string log(bytes.begin(), bytes.end());
    EXPECT_LT(log.size(), 128 * KiB + 4 * KiB) << "cut to its last 128 KiB, then this run";
    EXPECT_EQ(log.compare(0, 9, "old line "), 0) << "starts with a whole line";
    EXPECT_NE(log.find(lastOld), std::string::npos) << "the newest old line is kept";
    EXPECT_TRUE(EndsAs(ToolLog(dir).back(), "Flash Done! 262144 image bytes")) << "this run's end last";
}

// Another program holding the port: the tool can't use it and says so once.
// (Windows refuses the open; the stand-in driver refuses every request.)
TEST_F(Run, PortHeldElsewhereOneBox)
{
    WriteImage(dir, 512 * KiB);
    SimRun sim = StartSim(dir, "");
    ASSERT_TRUE(sim.ready) << sim.output;
    HANDLE hHolder = CreateFileA("\\\\.\\WCEUSBSH001", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(hHolder, INVALID_HANDLE_VALUE);
    ToolRun run = StartTool(dir);
    ASSERT_NE(run.hDlg, nullptr);
    FinishTool(run, 30000);
    CloseHandle(hHolder);
    StopSim(sim);
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.boxes.size(), 1u) << DescribeBoxes(run);
    EXPECT_TRUE(run.boxes[0].text == SZ_LOST || run.boxes[0].text == SZ_OPEN_FAILED)
        << DescribeBoxes(run);
    EXPECT_TRUE(ReadAll(sim.dataPath).empty()) << "nothing of the tool's reached the handheld";
}

TEST_F(Run, CursorTurnsToArrowWhenDataPhaseBegins)
{
    WriteImage(dir, 512 * KiB);
    SimRun sim = StartSim(dir, "--gap 1:4000");
    ASSERT_TRUE(sim.ready) << sim.output;
    OpCursorNow(); // learns the reference shapes now: the wait phase is short
    ToolRun run = StartTool(dir);
    ASSERT_NE(run.hDlg, nullptr);
    EXPECT_EQ(OpCursorOver(run.hDlg), "wait");
    for (int i = 0; i < 100 && !SimLogHas(sim, "write 4"); i++) Sleep(50);
    Sleep(300);
    EXPECT_EQ(OpCursorNow(), "arrow") << "without moving the pointer";
    FinishTool(run, 30000);
    StopSim(sim);
    EXPECT_EQ(run.exitCode, 0);
}

// While the image goes out, nobody can change it: others may only read it.
TEST_F(Run, ImageStaysReadOnlyForOthersDuringTransfer)
{
    WriteImage(dir, 512 * KiB + BLOCK);
    SimRun sim = StartSim(dir, "--gap 1:3000");
    ASSERT_TRUE(sim.ready) << sim.output;
    ToolRun run = StartTool(dir);
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
    StopSim(sim);
    EXPECT_ONLY_BOX(run, "Message", SZ_DONE, "dialog");
}

// The desktop around a run: the sync software's windows, matched by exact
// title among unowned top-level windows (the first match only), and the
// update record in HKCU.
const char SZ_RECORD_KEY[] = "Software\\Tessaride";

// A sync stand-in process with one window; waits until the window exists.
OpProcess StartStub(const std::string& args)
{
    OpProcess stub = OpLaunch(BinExe("syncstub.exe"), args, "");
    for (int i = 0; i < 200 && stub.hProcess != nullptr && OpTopWindows(stub.dwProcessId).empty(); i++)
        Sleep(25);
    return stub;
}

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
    struct Stub {
        const char* args;
        bool bEnded;
        OpProcess proc;
    } stubs[] = {
        {"DccMan", false, {}},
        {"--guarded DccMan", false, {}},
        {"\"WCES Manager Thunk Window\"", true, {}},
        {"--owned DccMan", false, {}},
        {"dccman", false, {}},
        {"\"DccMan \"", false, {}},
    };
    for (Stub& stub : stubs) {
        stub.proc = StartStub(stub.args);
        ASSERT_NE(stub.proc.hProcess, nullptr) << stub.args;
    }
    Outcome out = RunTool(dir, 512 * KiB, "");
    EXPECT_ONLY_BOX(out.run, "Message", SZ_DONE, "dialog");
    for (size_t i = 0; i < sizeof(stubs) / sizeof(stubs[0]); i++) {
        bool bEnded = WaitForSingleObject(stubs[i].proc.hProcess, 0) == WAIT_OBJECT_0;
        EXPECT_EQ(bEnded, stubs[i].bEnded) << "stub " << i << ": " << stubs[i].args;
        OpWaitExit(stubs[i].proc, 0);
    }
    std::vector<std::string> log = ToolLog(dir);
    auto found = [](const std::string& line) { return line.find("window \"DccMan\" found") != std::string::npos; };
    EXPECT_EQ(std::count_if(log.begin(), log.end(), found), 1) << "the walk stops at the first match";

    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SZ_RECORD_KEY, 0, KEY_READ, &hKey), ERROR_SUCCESS);
    struct Value {
        const char* name;
        DWORD dwType, cbData;
    } values[] = {{"Flash", REG_DWORD, 4},   {"Language", REG_SZ, 20}, {"ModelID", REG_SZ, 15},
                  {"Lang", REG_SZ, 10},      {"Version", REG_SZ, 20},  {"USB", REG_DWORD, 4},
                  {"FlashFile", REG_SZ, 0}};
    for (const Value& v : values) {
        BYTE data[64];
        memset(data, 0x55, sizeof(data));
        DWORD dwType = 0, cb = sizeof(data);
        ASSERT_EQ(RegQueryValueExA(hKey, v.name, nullptr, &dwType, data, &cb), ERROR_SUCCESS) << v.name;
        EXPECT_EQ(dwType, v.dwType) << v.name;
        EXPECT_EQ(cb, v.cbData) << v.name;
        for (DWORD i = 0; i < cb; i++) EXPECT_EQ(data[i], 0) << v.name << " byte " << i;
    }
    char szText[32] = "";
    DWORD cb = sizeof(szText);
    RegQueryValueExA(hKey, "Owner", nullptr, nullptr, reinterpret_cast<BYTE*>(szText), &cb);
    EXPECT_STREQ(szText, "someone") << "values outside the record are left alone";
    RegCloseKey(hKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, SZ_RECORD_KEY);
}

TEST_F(Run, MissingRecordKeyStaysMissing)
{
    RegDeleteKeyA(HKEY_CURRENT_USER, SZ_RECORD_KEY);
    Outcome out = RunTool(dir, 512 * KiB, "");
    EXPECT_ONLY_BOX(out.run, "Message", SZ_DONE, "dialog");
    HKEY hKey;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SZ_RECORD_KEY, 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
}

} // namespace
