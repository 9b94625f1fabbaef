// Shared helpers of the Wine tests.
#include "rig/harness/harness.h"

#include "res/resource.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

std::string BinDir()
{
    const char* pszDir = getenv("QL_BIN_DIR");
    return pszDir != nullptr && *pszDir != '\0' ? pszDir : QL_BIN_DIR;
}

std::string BinExe(const char* szName)
{
    return OpWinePath(BinDir() + "/" + szName);
}

// Deletes a folder's files and its empty subfolders (a test may leave one
// where a file is expected).
static void EmptyFolder(const std::string& winDir)
{
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA((winDir + "\\*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE) return;
    do {
        std::string path = winDir + "\\" + fd.cFileName;
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA(path.c_str());
        else if (fd.cFileName[0] != '.') RemoveDirectoryA(path.c_str());
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
}

// Makes (or empties) build/scratch/<lane>-<name>: the same test may run in
// two lanes at once (with another tool executable), one test per lane.
std::string ScratchDir(const std::string& name)
{
    std::string root = BinDir() + "/../scratch";
    CreateDirectoryA(OpWinePath(root).c_str(), nullptr);
    const char* pszLane = getenv("QL_LANE"); // set by rig/wine-run.sh
    std::string leaf = std::string("lane") + (pszLane != nullptr ? pszLane : "0") + "-" + name;
    for (char& c : leaf)
        if (c == '/') c = '_'; // parameterised tests are named "Case/1"
    std::string dir = root + "/" + leaf;
    CreateDirectoryA(OpWinePath(dir).c_str(), nullptr);
    EmptyFolder(OpWinePath(dir));
    return dir;
}

std::string ArtefactPath(const std::string& name)
{
    std::string dir = BinDir() + "/../../artefacts";
    CreateDirectoryA(OpWinePath(dir).c_str(), nullptr);
    return dir + "/" + name;
}

// The image's byte at an offset: a byte of a hash of the seed and the
// offset's 8-byte word (SplitMix64's finaliser), cheap, and any byte can be
// had without those before it.
static uint8_t ImageByte(uint32_t seed, uint32_t offset)
{
    uint64_t x = ((uint64_t{seed} << 32) + offset / 8) * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint8_t>((x ^ (x >> 31)) >> (8 * (offset % 8)));
}

// A block at a time: images reach 64 MiB.
void WriteImage(const std::string& dir, uint32_t size, uint32_t seed)
{
    std::vector<uint8_t> block(128 * 1024);
    std::string path = OpWinePath(dir + "/nk.nb0");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    for (uint32_t at = 0; at < size; at += static_cast<uint32_t>(block.size())) {
        uint32_t count = std::min<uint32_t>(size - at, static_cast<uint32_t>(block.size()));
        for (uint32_t i = 0; i < count; i++) block[i] = ImageByte(seed, at + i);
        ASSERT_EQ(fwrite(block.data(), 1, count, f), count) << path;
    }
    fclose(f);
}

// Reads a file's lines, without their CR LF or LF; a last line without one too.
static std::vector<std::string> ReadLines(const std::string& unixPath)
{
    std::vector<uint8_t> bytes = ReadAll(unixPath);
    std::vector<std::string> lines(1);
    for (uint8_t b : bytes) {
        if (b == '\n') lines.emplace_back();
        else if (b != '\r') lines.back() += static_cast<char>(b);
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

std::vector<uint8_t> ReadAll(const std::string& unixPath)
{
    std::vector<uint8_t> bytes;
    FILE* f = fopen(OpWinePath(unixPath).c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return bytes;
}

// The executable under test: QL_TOOL_EXE (a Unix path) when set, such as the
// x86_64 build or the unpacked package, otherwise the tree's shipped build.
std::string ToolExe()
{
    const char* pszExe = getenv("QL_TOOL_EXE");
    return pszExe != nullptr && *pszExe != '\0' ? OpWinePath(pszExe) : BinExe("quenlow.exe");
}

ToolRun StartTool(const std::string& dir)
{
    ToolRun run;
    run.dwStartTick = GetTickCount();
    run.proc = OpLaunch(ToolExe(), "", OpWinePath(dir));
    if (run.proc.hProcess != nullptr) run.hDlg = OpFindDialog(run.proc.dwProcessId, 10000);
    return run;
}

// Notes a percentage if it differs from the last one seen.
static void NotePercent(ToolRun& run, const std::string& percent)
{
    if (!percent.empty() && (run.percents.empty() || run.percents.back() != percent))
        run.percents.push_back(percent);
}

Watching g_Watching;

long FinishTool(ToolRun& run, DWORD limitMs, DWORD okDelayMs)
{
    if (run.proc.hProcess == nullptr) return run.exitCode = -1;
    if (g_Watching.bOkByPerson) limitMs = std::max<DWORD>(limitMs, 300000);
    HWND hLastBox = nullptr;
    for (DWORD dwStart = GetTickCount();
         WaitForSingleObject(run.proc.hProcess, 5) == WAIT_TIMEOUT && GetTickCount() - dwStart < limitMs;) {
        if (run.hDlg == nullptr) run.hDlg = OpFindDialog(run.proc.dwProcessId, 0);
        HWND hPercent = run.hDlg != nullptr ? GetDlgItem(run.hDlg, IDC_PERCENT) : nullptr;
        std::string percent = OpReadText(hPercent);
        NotePercent(run, percent);
        if (!g_Watching.shotPath.empty() && !percent.empty() && atoi(percent.c_str()) >= g_Watching.shotPercent) {
            OpScreenshot(g_Watching.shotPath);
            g_Watching.shotPath.clear();
        }
        HWND hBox = OpFindBox(run.proc.dwProcessId, 0);
        if (hBox == nullptr || hBox == hLastBox) continue;
        hLastBox = hBox;
        run.boxTicks.push_back(GetTickCount());
        run.boxes.push_back(OpReadBox(hBox));
        run.atBox.push_back(run.hDlg != nullptr ? OpReadDialog(run.hDlg) : OpDialog());
        NotePercent(run, run.atBox.back().percent);
        if (g_Watching.bOkByPerson) continue;
        Sleep(okDelayMs);
        OpPressOk(hBox);
        // The percentage may change between OK and the dialog's end, which
        // come close together: it is watched without pause after OK.
        for (DWORD dwPressed = GetTickCount(); IsWindow(hPercent) && GetTickCount() - dwPressed < 2000;)
            NotePercent(run, OpReadText(hPercent));
    }
    return run.exitCode = OpWaitExit(run.proc, 0);
}

std::string DescribeBoxes(const ToolRun& run)
{
    std::string lines;
    for (const OpBox& box : run.boxes) lines += OpDescribeBox(box, run.hDlg) + "\n";
    return lines.empty() ? "(no box)\n" : lines;
}

void ExpectOnlyBox(const ToolRun& run, const char* szCaption, const char* szText, const char* szOwner, int line)
{
    SCOPED_TRACE(testing::Message() << "called from line " << line);
    ASSERT_EQ(run.boxes.size(), 1u) << DescribeBoxes(run);
    const OpBox& box = run.boxes[0];
    EXPECT_EQ(box.caption, szCaption);
    EXPECT_EQ(OpEscape(box.text), OpEscape(szText));
    EXPECT_EQ(OpOwnerName(box, run.hDlg), szOwner);
}

SimRun StartSim(const std::string& dir, const std::string& options)
{
    SimRun sim;
    sim.logPath = dir + "/sim.log";
    sim.dataPath = dir + "/sim.data";
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hInRead, hInWrite, hOutRead, hOutWrite;
    if (!CreatePipe(&hInRead, &hInWrite, &sa, 0) || !CreatePipe(&hOutRead, &hOutWrite, &sa, 0))
        return sim;
    SetHandleInformation(hInWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(hOutRead, HANDLE_FLAG_INHERIT, 0);
    std::string files = " --log \"" + OpWinePath(sim.logPath) + "\" --data \"" + OpWinePath(sim.dataPath) + "\"";
    sim.proc = OpLaunch(BinExe("qlsim.exe"), options + files, "", hInRead, hOutWrite);
    if (sim.proc.hProcess == nullptr) sim.output = "CreateProcess failed: " + std::to_string(GetLastError());
    CloseHandle(hInRead);
    CloseHandle(hOutWrite);
    sim.hStdin = hInWrite;
    char buf[256];
    DWORD n = 0;
    while (sim.proc.hProcess && sim.output.find("ready") == std::string::npos &&
           ReadFile(hOutRead, buf, sizeof(buf), &n, nullptr) && n > 0)
        sim.output.append(buf, n);
    sim.ready = sim.output.find("ready") != std::string::npos;
    CloseHandle(hOutRead);
    return sim;
}

void StopSim(SimRun& sim)
{
    if (sim.hStdin != nullptr) CloseHandle(sim.hStdin);
    sim.hStdin = nullptr;
    OpWaitExit(sim.proc, 10000);
}

std::vector<SimEvent> SimLog(const SimRun& sim)
{
    std::vector<SimEvent> events;
    for (const std::string& line : ReadLines(sim.logPath)) {
        size_t space = line.find(' ');
        events.push_back({static_cast<DWORD>(strtoul(line.c_str(), nullptr, 10)),
                          space == std::string::npos ? "" : line.substr(space + 1)});
    }
    return events;
}

DWORD SimLogTick(const std::vector<SimEvent>& log, const std::string& prefix)
{
    for (const SimEvent& event : log)
        if (event.text.compare(0, prefix.size(), prefix) == 0) return event.tick;
    return 0;
}

bool SimLogHas(const SimRun& sim, const std::string& prefix)
{
    return SimLogTick(SimLog(sim), prefix) != 0;
}

std::vector<uint8_t> ExpectedWire(uint32_t imageSize, uint32_t seed)
{
    std::vector<uint8_t> wire = {0x41};
    uint32_t length = imageSize - 262144;
    for (int i = 0; i < 4; i++) wire.push_back(static_cast<uint8_t>(length >> (8 * i)));
    for (uint32_t i = 524288; i < imageSize; i++) wire.push_back(ImageByte(seed, i));
    for (uint32_t i = 262144; i < 524288; i++) wire.push_back(ImageByte(seed, i));
    return wire;
}

Outcome RunTool(const std::string& dir, uint32_t imageSize, const std::string& simOptions,
                DWORD limitMs, DWORD okDelayMs, uint32_t seed)
{
    Outcome out;
    out.dir = dir;
    out.size = imageSize;
    out.seed = seed;
    if (imageSize != 0) WriteImage(dir, imageSize, seed);
    else DeleteFileA(OpWinePath(dir + "/nk.nb0").c_str());
    out.sim = StartSim(dir, simOptions);
    EXPECT_TRUE(out.sim.ready) << "simulator did not start (" << simOptions << "): " << out.sim.output;
    out.run = StartTool(dir);
    EXPECT_NE(out.run.hDlg, nullptr) << "no progress dialog";
    if (out.run.hDlg != nullptr) FinishTool(out.run, limitMs, okDelayMs);
    else OpWaitExit(out.run.proc, 0);
    StopSim(out.sim);
    out.wire = ReadAll(out.sim.dataPath);
    out.log = SimLog(out.sim);
    return out;
}

// Walks this lane's process list (every Wine lane has a server of its own).
std::vector<std::string> ProcessesNamed(std::initializer_list<const char*> names)
{
    std::vector<std::string> found;
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnap == INVALID_HANDLE_VALUE) return {"(no process list)"};
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof(pe);
    for (BOOL bMore = Process32First(hSnap, &pe); bMore; bMore = Process32Next(hSnap, &pe))
        for (const char* name : names)
            if (_stricmp(pe.szExeFile, name) == 0) found.push_back(pe.szExeFile);
    CloseHandle(hSnap);
    return found;
}

std::vector<std::string> ToolLog(const std::string& dir)
{
    std::vector<std::string> lines = ReadLines(dir + "/quenlow.log");
    for (std::string& line : lines) {
        size_t text = line.find(" ms  ");
        if (text != std::string::npos) line.erase(0, text + 5);
    }
    return lines;
}
