// Flashing: the update worker and flash run, the image transfer, the update
// record, and the shutdown of the desktop sync software.
#pragma once

#include <windows.h>

#include "flash/protocol.h"

// Thread entry of the update worker, which the progress dialog starts: closes
// the sync software, pauses, runs the update, and ends.
DWORD WINAPI UpdateWorker(LPVOID);

// Carries the exchange from the length word to "Flash Done!" or to the box
// that ends the run; closes hImage on every path.  0 when the size can't be
// read, 1 otherwise.
int TransferImage(HANDLE hImage);

// Looks at the replies, one snapshot at a time, until the reply rules call
// for a step other than waiting; false when the run ended first (a timer
// fired: the deadline of every such wait is the dialog's timer that runs
// meanwhile).  The snapshot the step was decided on goes to *pSeen.  A
// ROM-size reply that the image fits is logged once.
bool AwaitStep(ExchangeStage stage, uint32_t fileSize, uint32_t remaining, Step* pStep,
               ReplySnapshot* pSeen);

// Clears the update record under HKCU\Software\Tessaride, if the key exists.
void ResetUpdateRecord();

// Ends the desktop sync software, which would otherwise hold the handheld's
// port, by its two window titles; the searches are independent.
void StopSyncManager();

// Terminates the process owning the first unowned top-level window below the
// main window in the Z order whose title is exactly szTitle (case-sensitive).
void KillProcessByWindowTitle(const char* szTitle);
