// What the Wine tests share: where the programs are, scratch folders and
// images, and running the tool under the operator's eye.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rig/operator/operator.h"

// Unix path of the folder holding quenlow.exe, qlsim.exe and the stand-ins.
std::string BinDir();

// Wine path of a program in BinDir().
std::string BinExe(const char* szName);

// A fresh, empty scratch folder for one test; its Unix path.
std::string ScratchDir(const std::string& name);

// Unix path where a test leaves artefacts (screenshots, logs).
std::string ArtefactPath(const std::string& name);

// Byte at a file offset of the test images: differs from block to block and
// within a block, so a misplaced or repeated block shows.
uint8_t ImageByte(uint32_t offset);

// Writes nk.nb0 of that many bytes into a folder (Unix path).
void WriteImage(const std::string& dir, uint32_t size);

// Reads a whole file (Unix path); empty if missing.
std::vector<uint8_t> ReadAll(const std::string& unixPath);

// One run of the tool, watched by the operator.
struct ToolRun {
    OpProcess proc;
    HWND hDlg = nullptr;
    std::vector<OpBox> boxes;          // every box seen, in order
    std::vector<OpDialog> atBox;       // the dialog as it stood when each box came
    std::vector<std::string> percents; // every distinct percentage seen, in order
    long exitCode = -2;
};

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
    bool ready = false;        // it printed "ready"
};

// Starts qlsim.exe with these options, logging into dir, and waits for its
// "ready" (unless it runs --absent, which prints it all the same).
SimRun StartSim(const std::string& dir, const std::string& options);

// Ends the simulator (closes its input) and waits for it.
void StopSim(SimRun& sim);

// The simulator's log lines.
std::vector<std::string> SimLog(const SimRun& sim);

// True when some log line starts with the prefix.
bool SimLogHas(const SimRun& sim, const std::string& prefix);

// The bytes the handheld should have received for an image of this size,
// when the whole exchange ran: connect byte, length word, body, deferred
// halves.
std::vector<uint8_t> ExpectedWire(uint32_t imageSize);
