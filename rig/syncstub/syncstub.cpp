// Stand-in for the desktop sync software: a process that owns one top-level
// window with the title given on its command line, so that tests can see
// which processes the tool terminates.
//
//   syncstub.exe TITLE            an unowned top-level window titled TITLE
//   syncstub.exe --owned TITLE    an owned pop-up titled TITLE (its owner is
//                                 titled "syncstub owner")
//   syncstub.exe --guarded TITLE  a window as the first, in a process that
//                                 others may not open to end it (as one run
//                                 by another user would be)
//
// Prints "ready" once the window exists.  Ends by itself with exit code
// STUB_TIMEOUT_CODE after two minutes, so a stub is never left behind.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>

// Exit code when the stub ended on its own time-out rather than being killed.
static const UINT STUB_TIMEOUT_CODE = 3;

// Lifetime of a stub that nobody ends.
static const UINT STUB_LIFETIME_MS = 120000;

// Takes every right to end this process from everyone else: its DACL grants
// only synchronising with it and querying it.  The handle its starter got
// from CreateProcess keeps full access.
static bool GuardProcess()
{
    PSECURITY_DESCRIPTOR pSd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;0x00101000;;;WD)", SDDL_REVISION_1,
                                                              &pSd, nullptr))
        return false;
    BOOL bPresent = FALSE, bDefaulted = FALSE;
    PACL pDacl = nullptr;
    bool bOk = GetSecurityDescriptorDacl(pSd, &bPresent, &pDacl, &bDefaulted) &&
               SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                               nullptr, pDacl, nullptr) == ERROR_SUCCESS;
    LocalFree(pSd);
    return bOk;
}

// Window procedure: the stub's windows do nothing but exist.
static LRESULT CALLBACK StubWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_TIMER) ExitProcess(STUB_TIMEOUT_CODE);
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

// Creates the requested window and runs until ended from outside.
int main(int argc, char** argv)
{
    bool bOwned = argc > 2 && strcmp(argv[1], "--owned") == 0;
    if (argc > 2 && strcmp(argv[1], "--guarded") == 0 && !GuardProcess()) return 2;
    const char* szTitle = argc > 1 ? argv[argc - 1] : "DccMan";
    WNDCLASSA wc = {};
    wc.lpfnWndProc = StubWndProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "QuenlowSyncStub";
    RegisterClassA(&wc);
    HWND hOwner = nullptr;
    if (bOwned)
        hOwner = CreateWindowExA(0, wc.lpszClassName, "syncstub owner", WS_OVERLAPPEDWINDOW, 0, 0,
                                 50, 50, nullptr, nullptr, wc.hInstance, nullptr);
    HWND hWnd = CreateWindowExA(0, wc.lpszClassName, szTitle,
                                bOwned ? WS_POPUP : WS_OVERLAPPEDWINDOW, 0, 0, 50, 50, hOwner,
                                nullptr, wc.hInstance, nullptr);
    if (hWnd == nullptr) return 2;
    SetTimer(hWnd, 1, STUB_LIFETIME_MS, nullptr);
    printf("ready\n");
    fflush(stdout);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    return 0;
}
