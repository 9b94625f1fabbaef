// Flashing: the update worker and flash run, the image transfer, and the
// update record.
#pragma once

#include <windows.h>

// Thread entry of the update worker, started by the progress dialog.
DWORD WINAPI UpdateWorker(LPVOID);

// Opens the image and the port, greets the boot loader and hands over to
// TransferImage; frees the chunk buffer and closes the port afterwards.
void RunFlashUpdate();

// Carries the exchange from the length word to "Flash Done!"; closes hImage on
// every path.  0 when the size can't be read, 1 otherwise.
int TransferImage(HANDLE hImage);

// Clears the update record under HKCU\Software\Tessaride, if the key exists.
void ResetUpdateRecord();

// Takes the stored reply: clears bytes 0 and 1 of ReplyBuffer and rewinds
// the write cursor.
void ConsumeReply();

// Shows an error box and ends the run by closing the main window.
void EndRunWithError(HWND hOwner, const char* szText);
