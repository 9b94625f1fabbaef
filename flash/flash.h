// Flashing: the update worker and flash run, the image transfer and the
// update record.
#pragma once

#include <windows.h>

#include "flash/protocol.h"

// Thread entry of the update worker, which the progress dialog starts: closes
// the sync software, pauses, runs the update, and ends.
DWORD WINAPI UpdateWorker(LPVOID);

// Carries the exchange from the length word to "Flash Done!" or to the box
// that ends the run; closes hImage and frees its buffers on every path.
void TransferImage(HANDLE hImage);

// Looks at the replies, one snapshot at a time, until the reply rules call
// for a step other than waiting; false when the run ended first (a timer
// fired: the deadline of every such wait is the dialog's timer that runs
// meanwhile).  A ROM-size reply that the image fits is logged once.
bool AwaitStep(ExchangeStage stage, uint32_t fileSize, uint32_t remaining, Step* pStep);

// Clears the update record under HKCU\Software\Tessaride, if the key exists.
void ResetUpdateRecord();
