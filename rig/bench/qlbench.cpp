// qlbench.exe WORKDIR [REPEATS]: the tool's figures, measured against the
// simulated handheld with the unmodified executable, and printed as one table
// with targets: turnaround per block against the rig's floor (class Floor),
// CPU shares of the tool and the lane's wineserver, and peak private bytes.
// README.md ("Performance") says what each figure is and how it is taken;
// times at the driver come from the simulator's log (tick count in ms).
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/globals.h"
#include "link/link.h"
#include "link/port_lock.h"
#include "log/runlog.h"
#include "rig/harness/harness.h"

namespace {

constexpr uint32_t MiB = 1048576, BLOCK = 131072;

// Wall-clock seconds from the performance counter.
double Now()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The numbered entries of a Linux folder: the processes of /proc, the
// threads of /proc/PID/task.
std::vector<std::string> NumberedEntries(const std::string& unixDir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(OpWinePath(unixDir + "/*").c_str(), &fd);
    for (BOOL bMore = hFind != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileA(hFind, &fd))
        if (fd.cFileName[0] >= '0' && fd.cFileName[0] <= '9') names.push_back(fd.cFileName);
    if (hFind != INVALID_HANDLE_VALUE) FindClose(hFind);
    return names;
}

// A file's text (Unix path).
std::string ReadText(const std::string& unixPath)
{
    std::vector<uint8_t> bytes = ReadAll(unixPath);
    return std::string(bytes.begin(), bytes.end());
}

// The Linux process id of the first process that match(command line, id)
// accepts; 0 if none.
template <class Match>
int FindUnixPid(Match match)
{
    for (const std::string& id : NumberedEntries("/proc"))
        if (match(ReadText("/proc/" + id + "/cmdline"), id)) return atoi(id.c_str());
    return 0;
}

// The process whose command line holds this text, and the other text if one
// is given (the tool's names this build's executable: other trees may run
// their own).
int UnixPidOf(const std::string& text, const std::string& other = "")
{
    return FindUnixPid([&](const std::string& cmd, const std::string&) {
        return cmd.find(text) != std::string::npos && cmd.find(other) != std::string::npos;
    });
}

// This lane's wineserver: the one whose environment names this program's
// prefix.
int WineserverUnixPid()
{
    char szPrefix[MAX_PATH] = "";
    GetEnvironmentVariableA("WINEPREFIX", szPrefix, sizeof(szPrefix));
    const std::string nul(1, '\0'), want = nul + "WINEPREFIX=" + szPrefix + nul;
    return FindUnixPid([&](const std::string& cmd, const std::string& id) {
        return cmd.find("wineserver") != std::string::npos &&
               (nul + ReadText("/proc/" + id + "/environ")).find(want) != std::string::npos;
    });
}

// Seconds the process has spent on a CPU, summed over its threads (each
// thread's schedstat counts that thread alone).  A thread's last reading is
// kept in *pThreads, so a thread that ends within a window still counts.
double CpuSeconds(int pid, std::map<std::string, double>* pThreads)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const std::string& tid : NumberedEntries(tasks)) {
        std::string stat = ReadText(tasks + "/" + tid + "/schedstat");
        if (!stat.empty()) (*pThreads)[tid] = strtod(stat.c_str(), nullptr) / 1e9;
    }
    double seconds = 0;
    for (const auto& thread : *pThreads) seconds += thread.second;
    return seconds;
}

// Waits until the simulator's log has a line starting with the prefix;
// its tick, or 0 after timeoutMs.
DWORD WaitForLog(const SimRun& sim, const std::string& prefix, DWORD timeoutMs)
{
    DWORD start = GetTickCount(), tick;
    while ((tick = SimLogTick(SimLog(sim), prefix)) == 0 && GetTickCount() - start < timeoutMs) Sleep(20);
    return tick;
}

// One run of the tool in dir against a simulator with these options.
struct Bench {
    SimRun sim;
    ToolRun tool;
    int pid = 0;
    bool Start(const std::string& dir, const std::string& options)
    {
        sim = StartSim(dir, options);
        if (!sim.ready) return false;
        tool = StartTool(dir);
        pid = UnixPidOf(ToolExe());
        return tool.hDlg != nullptr && pid != 0;
    }
    // Waits for the tool's first box; true when it came.
    bool WaitForBox(DWORD timeoutMs) { return OpFindBox(tool.proc.dwProcessId, timeoutMs) != nullptr; }
    // Ends the tool (pressing OK on a box, or terminating it) and the simulator.
    void End()
    {
        if (HWND hBox = OpFindBox(tool.proc.dwProcessId, 0)) OpPressOk(hBox);
        OpWaitExit(tool.proc, 10000);
        StopSim(sim);
    }
};

// CPU shares of the tool and of the lane's wineserver over a window that
// opens and closes on two callbacks; false when the window never opened or
// closed.
template <class Open, class Close>
bool CpuShares(Bench& b, int server, Open open, Close close, double* pTool, double* pServer)
{
    if (!open()) return false;
    std::map<std::string, double> toolThreads, serverThreads;
    double tool0 = CpuSeconds(b.pid, &toolThreads), t0 = Now();
    double server0 = server ? CpuSeconds(server, &serverThreads) : 0;
    if (!close()) return false;
    double wall = Now() - t0;
    *pTool = (CpuSeconds(b.pid, &toolThreads) - tool0) / wall;
    *pServer = server ? (CpuSeconds(server, &serverThreads) - server0) / wall : -1;
    return true;
}

// A measured figure: its samples, and how it is judged.
struct Figure {
    std::string name, unit, target;
    std::vector<double> samples;
    bool (*met)(double median) = nullptr;
    const char* format = "%.2f";
};

double Median(std::vector<double> v)
{
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// The rig's floor: the least the exchange needs through the same driver and
// simulated handheld, on one thread with nothing between a reply and its
// block.  It waits for the device event, arms again, reads the pairs, and
// answers each 04 00 with a 131,072-byte block written in the tool's pieces
// (LinkSend).  The simulator's log times it as it times the tool.
class Floor {
public:
    bool Run(const std::string& dir, uint32_t size, const char* szOptions, std::vector<SimEvent>* pLog)
    {
        SimRun sim = StartSim(dir, szOptions);
        bool bOk = sim.ready && OpenLinkPort();
        ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
        bOk = bOk && ov.hEvent != nullptr && SetCommTimeouts(hLinkPort, &timeouts) && Ioctl(IOCTL_LINK_ARM_MASK);
        std::vector<uint8_t> block(BLOCK, 0x5A);
        const BYTE connect = 0x41;
        uint32_t length = size - 2 * BLOCK;
        const BYTE word[4] = {static_cast<BYTE>(length), static_cast<BYTE>(length >> 8),
                              static_cast<BYTE>(length >> 16), static_cast<BYTE>(length >> 24)};
        bOk = bOk && LinkSend(&connect, 1) && AwaitPair(0x05) && LinkSend(word, 4);
        for (uint32_t i = 0; bOk && i < length / BLOCK; i++) bOk = AwaitPair(0x04) && LinkSend(block.data(), BLOCK);
        ClosePortOnce();
        if (ov.hEvent != nullptr) CloseHandle(ov.hEvent);
        StopSim(sim);
        *pLog = SimLog(sim);
        return bOk;
    }

private:
    // Longest wait for one request: a handheld that stalls this long ends
    // the floor's run as failed.
    static constexpr DWORD FLOOR_WAIT_MS = 10000;
    OVERLAPPED ov = {};
    DWORD dwEventWord = LINK_EVENT_MASK;

    // One request on the port through the floor's record; the count goes to
    // *pCount.
    template <class IssueFn>
    bool Request(IssueFn issue, DWORD* pCount)
    {
        *pCount = 0;
        if (issue(pCount)) return true;
        if (GetLastError() != ERROR_IO_PENDING) return false;
        if (WaitForSingleObject(ov.hEvent, FLOOR_WAIT_MS) != WAIT_OBJECT_0) {
            CancelIo(hLinkPort);
            WaitForSingleObject(ov.hEvent, FLOOR_WAIT_MS);
            return false;
        }
        return GetOverlappedResult(hLinkPort, &ov, pCount, FALSE) != FALSE;
    }

    bool Ioctl(DWORD dwCode)
    {
        DWORD dwCount = 0;
        bool bOutput = dwCode == IOCTL_LINK_WAIT_EVENT;
        return Request([&](DWORD* pCount) {
            return DeviceIoControl(hLinkPort, dwCode, bOutput ? nullptr : &dwEventWord, bOutput ? 0 : 4,
                                   bOutput ? &dwEventWord : nullptr, bOutput ? 4 : 0, pCount, &ov);
        }, &dwCount);
    }

    // Waits for events until a pair with this code has been read.
    bool AwaitPair(BYTE code)
    {
        for (bool bSeen = false; !bSeen;) {
            if (!Ioctl(IOCTL_LINK_WAIT_EVENT) || !Ioctl(IOCTL_LINK_ARM_MASK)) return false;
            BYTE pair[2] = {0, 0};
            DWORD dwRead = 0;
            while (Request([&](DWORD* pCount) { return ReadFile(hLinkPort, pair, 2, pCount, &ov); }, &dwRead) &&
                   dwRead > 0)
                bSeen = bSeen || (pair[0] == code && pair[1] == 0);
        }
        return true;
    }
};

// Latencies of one flash's log: from each block request's send to the first
// and to the last byte of the block that answered it.
void BlockLatencies(const std::vector<SimEvent>& log, std::vector<double>* pFirst, std::vector<double>* pLast)
{
    std::vector<DWORD> requests, firsts, lasts;
    bool bData = false, bAwaitFirst = false;
    for (const SimEvent& e : log) {
        if (e.text.compare(0, 7, "length ") == 0) bData = true;
        if (!bData) continue;
        if (e.text.compare(0, 5, "send ") == 0 && e.text.find("04 00") != std::string::npos) {
            requests.push_back(e.tick);
            bAwaitFirst = true;
        } else if (e.text.compare(0, 6, "write ") == 0 && bAwaitFirst) {
            firsts.push_back(e.tick);
            bAwaitFirst = false;
        } else if (e.text.compare(0, 6, "block ") == 0) {
            lasts.push_back(e.tick);
        }
    }
    for (size_t i = 0; i < requests.size() && i < firsts.size() && i < lasts.size(); i++) {
        pFirst->push_back(firsts[i] - requests[i]);
        pLast->push_back(lasts[i] - requests[i]);
    }
}

void Print(const std::vector<Figure>& figures)
{
    printf("%-52s %10s %10s %10s  %s\n", "figure", "min", "median", "target", "met");
    for (const Figure& f : figures) {
        std::vector<double> s = f.samples;
        double median = Median(s);
        double lowest = s.empty() ? -1 : *std::min_element(s.begin(), s.end());
        char szMin[32], szMedian[32];
        snprintf(szMin, sizeof(szMin), f.format, lowest);
        snprintf(szMedian, sizeof(szMedian), f.format, median);
        printf("%-52s %10s %10s %10s  %s\n", (f.name + " (" + f.unit + ")").c_str(), s.empty() ? "-" : szMin,
               s.empty() ? "-" : szMedian, f.target.c_str(),
               f.met == nullptr ? "" : s.empty() ? "NOT MEASURED" : f.met(median) ? "yes" : "NO");
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        printf("usage: qlbench.exe WORKDIR [REPEATS]\n");
        return 2;
    }
    std::string dir = argv[1];
    int repeats = argc > 2 ? std::max(3, atoi(argv[2])) : 3;
    InitPortLock();
    InitRunLog();
    SYSTEM_INFO si;
    GetNativeSystemInfo(&si);

    // Turnaround per block at the driver, tool against floor, and CPU shares:
    // the tool's, and its lane's wineserver's over the same window, since
    // under Wine part of every wait is spent there.
    Figure flashTime{"32 MiB flash, connect byte to last byte: tool", "s", "", {}, nullptr};
    Figure flashFloor{"  floor", "s", "", {}, nullptr};
    bool (*cpuTarget)(double) = [](double m) { return m <= 0.5; };
    Figure cpuFlash{"CPU (a): flash, handheld 0.5 s per block: tool", "%", "<= 0.5", {}, cpuTarget, "%.3f"};
    Figure srvFlash{"  wineserver, same window", "%", "", {}, nullptr, "%.3f"};
    Figure floorFlash{"  floor, its whole run", "%", "", {}, nullptr, "%.3f"};
    Figure cpuHandshake{"CPU (b): handshake, ready reply at 0.9 s: tool", "%", "<= 0.5", {}, cpuTarget, "%.3f"};
    Figure srvHandshake{"  wineserver, same window", "%", "", {}, nullptr, "%.3f"};
    Figure cpuDone{"CPU (c): \"Flash Done!\" up for 10 s: tool", "%", "<= 0.5", {}, cpuTarget, "%.3f"};
    Figure srvDone{"  wineserver, same window", "%", "", {}, nullptr, "%.3f"};
    Figure mem8{"peak private bytes, 8 MiB image", "KiB", "", {}, nullptr, "%.0f"};
    Figure mem32{"peak private bytes, 32 MiB image", "KiB", "", {}, nullptr, "%.0f"};
    Figure mem64{"peak private bytes, 64 MiB image, no ROM reply", "KiB", "", {}, nullptr, "%.0f"};
    Figure memGrowth{"  64 MiB image minus 8 MiB image", "KiB", "<= 64", {}, [](double m) { return m <= 64; }, "%.0f"};

    std::vector<double> toolFirsts, toolLasts, floorFirsts, floorLasts;
    WriteImage(dir, 32 * MiB);
    const std::string last = "block 254";
    // The simulator's ticks of the connect byte and of the last block, in s.
    auto flashSeconds = [&](const std::vector<SimEvent>& log, Figure* pFigure) {
        DWORD t0 = SimLogTick(log, "connect"), t1 = SimLogTick(log, last);
        if (t0 != 0 && t1 != 0) pFigure->samples.push_back((t1 - t0) / 1000.0);
    };
    for (int i = 0; i < repeats; i++) {
        std::vector<SimEvent> log;
        if (!Floor().Run(dir, 32 * MiB, "--rom 32", &log)) fprintf(stderr, "qlbench: floor run %d failed\n", i);
        flashSeconds(log, &flashFloor);
        BlockLatencies(log, &floorFirsts, &floorLasts);
        Bench b;
        // The log is watched, not the windows: asking the dialog for its
        // texts would take the tool's main thread from the flash.
        if (!b.Start(dir, "--rom 32") || WaitForLog(b.sim, last, 120000) == 0 || !b.WaitForBox(10000))
            fprintf(stderr, "qlbench: flash %d failed\n", i);
        b.End();
        log = SimLog(b.sim);
        flashSeconds(log, &flashTime);
        BlockLatencies(log, &toolFirsts, &toolLasts);
    }
    // For the first and the last byte, median and p99: the tool's, the
    // floor's, and their ratio.
    std::vector<Figure> figures;
    const struct {
        const char* szByte;
        const std::vector<double>&tool, &floor;
    } ends[] = {{"first", toolFirsts, floorFirsts}, {"last", toolLasts, floorLasts}};
    for (const auto& e : ends) {
        for (double p : {0.5, 0.99}) {
            double tool = Percentile(e.tool, p), floor = Percentile(e.floor, p);
            figures.push_back({std::string("turnaround, 04 00 to ") + e.szByte + " byte, " +
                                   (p < 0.9 ? "median" : "p99") + ": tool",
                               "ms", "", {tool}, nullptr, "%.1f"});
            figures.push_back({"  floor", "ms", "", {floor}, nullptr, "%.1f"});
            figures.push_back({"  tool / floor", "ratio", "<= 1.10", {}, [](double m) { return m <= 1.10; }});
            if (floor > 0) figures.back().samples = {tool / floor};
        }
    }

    // CPU shares: each run's window opens and closes on the simulator's log
    // (or on the box, and 10 s later).
    int server = WineserverUnixPid();
    if (server == 0) fprintf(stderr, "qlbench: this lane's wineserver not found\n");
    struct CpuRun {
        uint32_t size;
        const char* options;
        Figure *tool, *server;
        std::function<bool(Bench&)> open, close;
    } cpuRuns[] = {
        {4 * MiB, "--next-delay 500", &cpuFlash, &srvFlash,
         [](Bench& b) { return WaitForLog(b.sim, "block 2", 30000) != 0; },
         [](Bench& b) { return WaitForLog(b.sim, "block 12", 30000) != 0; }},
        {512 * 1024, "--ready late:900", &cpuHandshake, &srvHandshake,
         [](Bench& b) { return WaitForLog(b.sim, "connect", 30000) != 0; },
         [](Bench& b) { return WaitForLog(b.sim, "send 05 00", 30000) != 0; }},
        {512 * 1024, "", &cpuDone, &srvDone, [](Bench& b) { return b.WaitForBox(30000); },
         [](Bench&) { Sleep(10000); return true; }},
    };
    // The floor's own share in (a): this program's CPU over the floor's whole
    // run, which the handheld paces at 0.5 s per block.  Its command line
    // holds its work folder.
    WriteImage(dir, 2 * MiB);
    int self = UnixPidOf("qlbench.exe", dir);
    if (self == 0) fprintf(stderr, "qlbench: this program's own process not found\n");
    for (int i = 0; i < repeats && self != 0; i++) {
        std::map<std::string, double> threads;
        double cpu0 = CpuSeconds(self, &threads), t0 = Now();
        std::vector<SimEvent> log;
        if (Floor().Run(dir, 2 * MiB, "--next-delay 500", &log))
            floorFlash.samples.push_back((CpuSeconds(self, &threads) - cpu0) / (Now() - t0) * 100);
    }
    for (CpuRun& c : cpuRuns) {
        WriteImage(dir, c.size);
        for (int i = 0; i < repeats; i++) {
            Bench b;
            double tool = 0, wineserver = 0;
            if (b.Start(dir, c.options) &&
                CpuShares(b, server, [&] { return c.open(b); }, [&] { return c.close(b); }, &tool, &wineserver)) {
                c.tool->samples.push_back(tool * 100);
                if (wineserver >= 0) c.server->samples.push_back(wineserver * 100);
            }
            b.End();
        }
    }

    struct MemRun {
        uint32_t size;
        const char* options;
        Figure* figure;
    } memRuns[] = {{8 * MiB, "--rom 8", &mem8}, {32 * MiB, "--rom 32", &mem32}, {64 * MiB, "", &mem64}};
    for (MemRun& m : memRuns) {
        WriteImage(dir, m.size);
        Bench b;
        PROCESS_MEMORY_COUNTERS pmc = {};
        pmc.cb = sizeof(pmc);
        std::string lastBlock = "block " + std::to_string((m.size - 2 * BLOCK) / BLOCK);
        if (b.Start(dir, m.options) && WaitForLog(b.sim, lastBlock, 180000) != 0 && b.WaitForBox(10000) &&
            GetProcessMemoryInfo(b.tool.proc.hProcess, &pmc, sizeof(pmc)))
            m.figure->samples.push_back(static_cast<double>(pmc.PeakPagefileUsage) / 1024);
        b.End();
    }
    if (!mem8.samples.empty() && !mem64.samples.empty())
        memGrowth.samples.push_back(mem64.samples[0] - mem8.samples[0]);

    printf("\nquenlow benchmark: i686 quenlow.exe under Wine, simulated handheld, %lu CPUs, %d runs a timing\n\n",
           si.dwNumberOfProcessors, repeats);
    figures.insert(figures.end(), {flashTime, flashFloor, cpuFlash, srvFlash, floorFlash, cpuHandshake, srvHandshake,
                                   cpuDone, srvDone, mem8, mem32, mem64, memGrowth});
    Print(figures);
    return 0;
}
