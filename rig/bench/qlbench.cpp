// qlbench.exe: the tool's figures, measured against the simulated handheld
// with the unmodified executable, and printed as one table with targets.
//
//   overhead   a 32 MiB flash (32 MiB ROM, a handheld that answers at once),
//              connect byte to the last byte of the last half, against the
//              same bytes written through the same driver with the tool's
//              own LinkSend (this program links the link code)
//   CPU share  the tool process's time on a CPU over wall time, (a) while a
//              handheld takes 0.5 s per block, (b) in the handshake with a
//              ready reply at 0.9 s, (c) while "Flash Done!" is up for 10 s;
//              Wine reports no other process's times, so they come from the
//              Linux kernel's count for each of its threads
//              (/proc/PID/task/TID/schedstat)
//   memory     peak private bytes (PeakPagefileUsage) at "Flash Done!" for
//              8, 32 and 64 MiB images (the last without a ROM-size reply)
//   latency    per block, from the handheld's 04 00 to the first and to the
//              last byte of that block at the driver, over the 32 MiB runs
//
// Times at the driver come from the simulator's log (tick count in ms).
//   qlbench.exe WORKDIR [REPEATS]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
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

// The Linux process id of the running tool, found by its command line.
int ToolUnixPid()
{
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA("Z:\\proc\\*", &fd);
    int pid = 0;
    for (BOOL bMore = hFind != INVALID_HANDLE_VALUE; bMore && pid == 0; bMore = FindNextFileA(hFind, &fd)) {
        if (fd.cFileName[0] < '0' || fd.cFileName[0] > '9') continue;
        std::vector<uint8_t> cmd = ReadAll(std::string("/proc/") + fd.cFileName + "/cmdline");
        std::string line(cmd.begin(), cmd.end());
        if (line.find("quenlow.exe") != std::string::npos) pid = atoi(fd.cFileName);
    }
    if (hFind != INVALID_HANDLE_VALUE) FindClose(hFind);
    return pid;
}

// Seconds the process has spent on a CPU, summed over its threads (each
// thread's schedstat counts that thread alone).
double CpuSeconds(int pid)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(OpWinePath(tasks + "/*").c_str(), &fd);
    double seconds = 0;
    for (BOOL bMore = hFind != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileA(hFind, &fd)) {
        if (fd.cFileName[0] < '0' || fd.cFileName[0] > '9') continue;
        std::vector<uint8_t> bytes = ReadAll(tasks + "/" + fd.cFileName + "/schedstat");
        seconds += strtod(std::string(bytes.begin(), bytes.end()).c_str(), nullptr) / 1e9;
    }
    if (hFind != INVALID_HANDLE_VALUE) FindClose(hFind);
    return seconds;
}

// Waits until the simulator's log has a line starting with the prefix;
// its tick, or 0 after timeoutMs.
DWORD WaitForLog(const SimRun& sim, const std::string& prefix, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(20))
        for (const SimEvent& e : SimLog(sim))
            if (e.text.compare(0, prefix.size(), prefix) == 0) return e.tick;
    return 0;
}

// The first line of the log that starts with the prefix; its tick, or 0.
DWORD LogTick(const std::vector<SimEvent>& log, const std::string& prefix)
{
    for (const SimEvent& e : log)
        if (e.text.compare(0, prefix.size(), prefix) == 0) return e.tick;
    return 0;
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
        pid = ToolUnixPid();
        return tool.hDlg != nullptr && pid != 0;
    }
    // Ends the tool (pressing OK on a box, or terminating it) and the simulator.
    void End()
    {
        if (HWND hBox = OpFindBox(tool.proc.dwProcessId, 0)) OpPressOk(hBox);
        OpWaitExit(tool.proc, 10000);
        StopSim(sim);
    }
};

// CPU share over a window that opens and closes on two callbacks.
template <class Open, class Close>
double CpuShare(Bench& b, Open open, Close close)
{
    if (!open()) return -1;
    double cpu0 = CpuSeconds(b.pid), t0 = Now();
    if (!close()) return -1;
    return (CpuSeconds(b.pid) - cpu0) / (Now() - t0);
}

// Waits for the tool's first box; true when it came.
bool WaitForBox(Bench& b, DWORD timeoutMs)
{
    return OpFindBox(b.tool.proc.dwProcessId, timeoutMs) != nullptr;
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

// Writes the whole exchange of an image of this size through LinkSend, as
// fast as the driver takes it; the simulator's log times it.
bool RawLinkRun(const std::string& dir, uint32_t size, double* pSeconds)
{
    SimRun sim = StartSim(dir, "");
    if (!sim.ready || !OpenLinkPort()) return false;
    std::vector<uint8_t> block(BLOCK, 0x5A);
    const BYTE connect = 0x41;
    uint32_t length = size - 2 * BLOCK;
    const BYTE word[4] = {static_cast<BYTE>(length), static_cast<BYTE>(length >> 8),
                          static_cast<BYTE>(length >> 16), static_cast<BYTE>(length >> 24)};
    bool bOk = LinkSend(&connect, 1) && LinkSend(word, 4);
    for (uint32_t i = 0; bOk && i < length / BLOCK; i++) bOk = LinkSend(block.data(), BLOCK);
    ClosePortOnce();
    StopSim(sim);
    std::vector<SimEvent> log = SimLog(sim);
    DWORD t0 = LogTick(log, "connect"), t1 = LogTick(log, "block " + std::to_string(length / BLOCK));
    *pSeconds = (t1 - t0) / 1000.0;
    return bOk && t0 != 0 && t1 != 0;
}

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

    Figure ratio{"overhead: 32 MiB flash / raw LinkSend", "ratio", "<= 1.10", {},
                 [](double m) { return m <= 1.10; }};
    Figure toolTime{"  tool, connect byte to last byte", "s", "", {}, nullptr};
    Figure rawTime{"  raw LinkSend of the same bytes", "s", "", {}, nullptr};
    Figure cpuFlash{"CPU share (a): flash, handheld 0.5 s per block", "%", "<= 2", {},
                    [](double m) { return m <= 2; }, "%.3f"};
    Figure cpuHandshake{"CPU share (b): handshake, ready reply at 0.9 s", "%", "<= 2", {},
                        [](double m) { return m <= 2; }, "%.3f"};
    Figure cpuDone{"CPU share (c): \"Flash Done!\" up for 10 s", "%", "<= 2", {},
                   [](double m) { return m <= 2; }, "%.3f"};
    Figure mem8{"peak private bytes, 8 MiB image", "KiB", "", {}, nullptr, "%.0f"};
    Figure mem32{"peak private bytes, 32 MiB image", "KiB", "", {}, nullptr, "%.0f"};
    Figure mem64{"peak private bytes, 64 MiB image, no ROM reply", "KiB", "", {}, nullptr, "%.0f"};
    Figure memGrowth{"  64 MiB image minus 8 MiB image", "KiB", "<= 64", {},
                     [](double m) { return m <= 64; }, "%.0f"};
    Figure latFirst{"latency, 04 00 to first byte of block, median", "ms", "", {}, nullptr, "%.0f"};
    Figure latFirst99{"latency, 04 00 to first byte of block, p99", "ms", "", {}, nullptr, "%.0f"};
    Figure latLast{"latency, 04 00 to last byte of block, median", "ms", "", {}, nullptr, "%.0f"};
    Figure latLast99{"latency, 04 00 to last byte of block, p99", "ms", "<= 5", {},
                     [](double m) { return m <= 5; }, "%.0f"};

    std::vector<double> firsts, lasts;
    WriteImage(dir, 32 * MiB);
    for (int i = 0; i < repeats; i++) {
        double raw = 0;
        if (!RawLinkRun(dir, 32 * MiB, &raw)) fprintf(stderr, "qlbench: raw link run %d failed\n", i);
        Bench b;
        // The log is watched, not the windows: asking the dialog for its
        // texts would take the tool's main thread from the flash.
        if (!b.Start(dir, "--rom 32") || WaitForLog(b.sim, "block 254", 120000) == 0 || !WaitForBox(b, 10000))
            fprintf(stderr, "qlbench: flash %d failed\n", i);
        b.End();
        std::vector<SimEvent> log = SimLog(b.sim);
        DWORD t0 = LogTick(log, "connect"), t1 = LogTick(log, "block 254");
        if (t0 != 0 && t1 != 0 && raw > 0) {
            toolTime.samples.push_back((t1 - t0) / 1000.0);
            rawTime.samples.push_back(raw);
            ratio.samples.push_back((t1 - t0) / 1000.0 / raw);
            BlockLatencies(log, &firsts, &lasts);
        }
    }
    latFirst.samples = {Median(firsts)};
    latFirst99.samples = {Percentile(firsts, 0.99)};
    latLast.samples = {Median(lasts)};
    latLast99.samples = {Percentile(lasts, 0.99)};

    // CPU share: each run's window opens and closes on the simulator's log
    // (or on the box, and 10 s later).
    struct CpuRun {
        uint32_t size;
        const char* options;
        Figure* figure;
        std::function<bool(Bench&)> open, close;
    } cpuRuns[] = {
        {4 * MiB, "--next-delay 500", &cpuFlash, [](Bench& b) { return WaitForLog(b.sim, "block 2", 30000) != 0; },
         [](Bench& b) { return WaitForLog(b.sim, "block 12", 30000) != 0; }},
        {512 * 1024, "--ready late:900", &cpuHandshake,
         [](Bench& b) { return WaitForLog(b.sim, "connect", 30000) != 0; },
         [](Bench& b) { return WaitForLog(b.sim, "send 05 00", 30000) != 0; }},
        {512 * 1024, "", &cpuDone, [](Bench& b) { return WaitForBox(b, 30000); },
         [](Bench&) {
             Sleep(10000);
             return true;
         }},
    };
    for (CpuRun& c : cpuRuns) {
        WriteImage(dir, c.size);
        for (int i = 0; i < repeats; i++) {
            Bench b;
            if (b.Start(dir, c.options)) {
                double share = CpuShare(b, [&] { return c.open(b); }, [&] { return c.close(b); });
                if (share >= 0) c.figure->samples.push_back(share * 100);
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
        std::string last = "block " + std::to_string((m.size - 2 * BLOCK) / BLOCK);
        if (b.Start(dir, m.options) && WaitForLog(b.sim, last, 180000) != 0 && WaitForBox(b, 10000) &&
            GetProcessMemoryInfo(b.tool.proc.hProcess, &pmc, sizeof(pmc)))
            m.figure->samples.push_back(static_cast<double>(pmc.PeakPagefileUsage) / 1024);
        b.End();
    }
    if (!mem8.samples.empty() && !mem64.samples.empty())
        memGrowth.samples.push_back(mem64.samples[0] - mem8.samples[0]);

    printf("\nquenlow benchmark: i686 quenlow.exe under Wine, simulated handheld, %lu CPUs, %d runs a "
           "timing\n\n",
           si.dwNumberOfProcessors, repeats);
    Print({ratio, toolTime, rawTime, cpuFlash, cpuHandshake, cpuDone, mem8, mem32, mem64, memGrowth, latFirst,
           latFirst99, latLast, latLast99});
    return 0;
}
