// Definitions of the shared globals; see globals.h for who writes and reads each.
#include "common/globals.h"

HINSTANCE hInst = nullptr;
HWND hMainWnd = nullptr;
HWND hProgressDlg = nullptr;
HWND hProgressBar = nullptr;
char szProgressText[PROGRESS_TEXT_SIZE];
HANDLE hLinkPort = INVALID_HANDLE_VALUE;
std::atomic<BYTE> ReplyBuffer[REPLY_BUFFER_SIZE];
std::atomic<BYTE> RomReplyLatch{0};
std::atomic<HANDLE> hReplyEvent{nullptr};
std::atomic<std::atomic<BYTE>*> pReplyWrite{ReplyBuffer};
std::atomic<int> bReaderReady{0};
std::atomic<int> bStopReader{0};
std::atomic<int> bFlashDone{0};
std::atomic<int> bBusyCursor{1};
BYTE* pChunkBuf = nullptr;
BYTE* pDeferredBuf = nullptr;
const char* szImagePath = "nk.nb0";

static_assert(std::atomic<BYTE>::is_always_lock_free, "reply bytes must not take a lock");
static_assert(sizeof(std::atomic<BYTE>) == 1, "ReplyBuffer is 1,000 bytes");
