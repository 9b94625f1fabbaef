// Definitions of the shared globals; see globals.h for who writes and reads each.
#include "common/globals.h"

HINSTANCE hInst = nullptr;
HWND hMainWnd = nullptr;
HWND hProgressDlg = nullptr;
char szProgressText[PROGRESS_TEXT_SIZE];
HANDLE hLinkPort = INVALID_HANDLE_VALUE;
std::atomic<int> bReaderReady{0};
std::atomic<int> bStopReader{0};
std::atomic<int> bFlashDone{0};
