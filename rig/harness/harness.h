// What the Wine tests share: where the programs are, scratch folders and
// images, running the tool under the operator's eye, the simulated handheld,
// and the oracle that judges a whole run (oracle.cpp).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "rig/operator/operator.h"
#include "rig/sim/simclient.h"

// Unix path of the folder holding quenlow.exe, qlsim.exe and the stand-ins.
std::string BinDir();

// Wine path of a program in BinDir().
std::string BinExe(const char* szName);

// Wine path of the executable under test (see harness.cpp).
std::string ToolExe();

// A fresh, empty scratch folder for one test; its Unix path.
std::string ScratchDir(const std::string& name);

// Unix path where a test leaves artefacts (screenshots, logs).
std::string ArtefactPath(const std::string& name);

// Writes nk.nb0 of that many bytes made from a seed into a folder (Unix
// path): the bytes differ from block to block and within a block, so a
// misplaced or repeated block shows; the same seed gives the same bytes.
void WriteImage(const std::string& dir, uint32_t size, uint32_t seed = 0);

// Reads a whole file (Unix path); empty if missing.
std::vector<uint8_t> ReadAll(const std::string& unixPath);

// One run of the tool, watched by the operator.
struct ToolRun {
    OpProcess proc;
    HWND hDlg = nullptr;
    std::vector<OpBox> boxes;          // every box seen, in order
    std::vector<DWORD> boxTicks;       // GetTickCount when each was first seen
    std::vector<OpDialog> atBox;       // the dialog as it stood when each box came
    std::vector<std::string> percents; // every distinct percentage seen, in order
    long exitCode = -2;
    DWORD dwStartTick = 0;             // GetTickCount just before the tool was started
};

// What the main job asks of the operator in every run: a screenshot (Unix
// path; none when empty) once the percentage reaches shotPercent, and OK left
// to the person at a real display.
struct Watching { std::string shotPath; int shotPercent = 40; bool bOkByPerson = false; };
extern Watching g_Watching;

// Starts the tool in dir (Unix path) and waits for its progress dialog.
ToolRun StartTool(const std::string& dir);

// Watches the run until the tool ends or limitMs passes: notes every box and
// presses its OK after okDelayMs.  Returns the exit code (-1: still running,
// then terminated).
long FinishTool(ToolRun& run, DWORD limitMs, DWORD okDelayMs = 200);

// Box lines of a run, for readable failure messages.
std::string DescribeBoxes(const ToolRun& run);

// Expects exactly one box with this caption and text (\r\n as in the tool).
void ExpectOnlyBox(const ToolRun& run, const char* szCaption, const char* szText, const char* szOwner,
                   int line);
#define EXPECT_ONLY_BOX(run, caption, text, owner) ExpectOnlyBox(run, caption, text, owner, __LINE__)

// A run of the simulated handheld (qlsim.exe) with its log and data files.
struct SimRun {
    OpProcess proc;
    HANDLE hStdin = nullptr;   // closing it ends the simulator
    std::string logPath;       // Unix paths
    std::string dataPath;
    std::string output;        // what it printed up to "ready" (or its end)
    bool ready = false;        // it printed "ready"
};

// Starts qlsim.exe with these options, logging into dir, and waits for its
// "ready" (unless it runs --absent, which prints it all the same).
SimRun StartSim(const std::string& dir, const std::string& options);

// Ends the simulator (closes its input) and waits for it.
void StopSim(SimRun& sim);

// One line of the simulator's log: the tick count (GetTickCount, the clock
// every process here shares) and the event.
struct SimEvent {
    DWORD tick = 0;
    std::string text;
};

// The simulator's log.
std::vector<SimEvent> SimLog(const SimRun& sim);

// The tick of the first event that starts with the prefix; 0 if none.
DWORD SimLogTick(const std::vector<SimEvent>& log, const std::string& prefix);

// True when some log line's event starts with the prefix.
bool SimLogHas(const SimRun& sim, const std::string& prefix);

// The bytes the handheld should have received for an image of this size and
// seed, when the whole exchange ran: connect byte, length word, body,
// deferred halves.
std::vector<uint8_t> ExpectedWire(uint32_t imageSize, uint32_t seed = 0);

// Everything one run of the tool against the simulated handheld left behind.
struct Outcome {
    std::string dir;             // the run's folder (Unix path)
    uint32_t size = 0;           // nk.nb0's size, 0 for none
    ToolRun run;
    SimRun sim;
    std::vector<uint8_t> wire;   // every byte the handheld received
    std::vector<SimEvent> log;   // the simulator's log
    uint32_t seed = 0;           // of nk.nb0's bytes
};

// Writes nk.nb0 of imageSize bytes made from the seed into dir (none when
// imageSize is 0), starts the simulator with simOptions, runs the tool to its
// end (pressing each box's OK after okDelayMs) and collects the outcome.
Outcome RunTool(const std::string& dir, uint32_t imageSize, const std::string& simOptions,
                DWORD limitMs = 60000, DWORD okDelayMs = 200, uint32_t seed = 0);

// The tool's log in dir (quenlow.log), a line each, without the time that
// leads every line.
std::vector<std::string> ToolLog(const std::string& dir);

// Names of the processes of this Wine lane whose image name is one of these.
std::vector<std::string> ProcessesNamed(std::initializer_list<const char*> names);


// True when the log line is "end: " and one of the '|'-separated beginnings.
bool EndsAs(const std::string& line, const std::string& choices);

// A handheld's behaviour: the image it is given and the simulator's options.
struct Schedule {
    const char* name;
    uint32_t size;   // nk.nb0's size, 0 for none
    std::string sim; // qlsim's options
    uint32_t seed = 0; // of the image's bytes
};
inline void PrintTo(const Schedule& s, std::ostream* os) { *os << s.size << " bytes, qlsim " << s.sim; }

// The one right ending of a schedule's run.
struct Verdict {
    std::string box, caption = "Error", owner = "dialog"; // the one box
    uint32_t wireMin = 0, wireMax = 0; // bytes of the exchange that reach the handheld
    std::string logEnd;                // beginnings of the log's end line after "end: ", '|' between
    const char* deadlineFrom = nullptr; // "connect", "port" (its first open) or "request": the box is due
    DWORD deadlineMs = 0;               // this long after the last such simulator event
    DWORD okDelayMs = 300;              // the box stays up this long (late replies come meanwhile)
    DWORD limitMs = 60000;              // the run's time limit
    uint32_t heldWrites = 0;            // writes a stalled handheld takes only after the box
    DWORD settleMs = 250;               // from the box plus this on, nothing new reaches the driver
};

// The oracle: how a run with this image and these simulator options must end.
Verdict Judge(uint32_t size, const std::string& sim);

// Checks a whole run against its verdict: exit code 0, the one box, the wire a
// prefix of the exchange within the verdict's bounds and nothing written after
// the box, the port opened twice and late enough, the reader's requests in
// order, a deadline's box on time, and the log's end line.  replay says how to
// run it again.
void ExpectJudged(const Outcome& out, const Verdict& verdict, const std::string& replay);

// Runs a schedule in dir and judges it.
Outcome RunJudged(const std::string& dir, const Schedule& schedule, const std::string& replay = "");

// A handheld drawn from a seed: the same seed gives the same schedule.  Its
// timings keep 150 ms clear of the 1 s and 30 s deadlines, and stalls past the
// watchdog are rare.
Schedule DrawSchedule(uint32_t seed);

// The seed, its schedule and the one command that replays it.
std::string SeedReplay(uint32_t seed);
