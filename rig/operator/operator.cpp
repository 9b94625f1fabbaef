// The operator's actions on the tool's windows, through the platform's own
// window calls, as a person at the desktop would act.
#include "rig/operator/operator.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>

#include "res/resource.h"
#include "shell/shell.h"

// Class of dialogs and message boxes.
static const char SZ_DIALOG_CLASS[] = "#32770";

// Id of a message box's text control.
static const int BOX_TEXT_ID = 0xFFFF;

// Pause between two looks for a window.
static const DWORD POLL_MS = 20;

std::string OpReadText(HWND hWnd)
{
    char szText[1024] = "";
    DWORD_PTR dwLength = 0;
    if (hWnd == nullptr ||
        !SendMessageTimeoutA(hWnd, WM_GETTEXT, sizeof(szText), reinterpret_cast<LPARAM>(szText), SMTO_NORMAL, 2000,
                             &dwLength) ||
        dwLength >= sizeof(szText))
        return "";
    return std::string(szText, dwLength);
}

// Class name of a window.
static std::string ClassOf(HWND hWnd)
{
    char szClass[256] = "";
    GetClassNameA(hWnd, szClass, sizeof(szClass));
    return szClass;
}

std::string OpWinePath(const std::string& unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

OpProcess OpLaunch(const std::string& exe, const std::string& args, const std::string& cwd, HANDLE hStdIn,
                   HANDLE hStdOut)
{
    OpProcess proc;
    std::string cmd = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = hStdIn != nullptr ? STARTF_USESTDHANDLES : 0;
    si.hStdInput = hStdIn;
    si.hStdOutput = si.hStdError = hStdOut;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, hStdIn != nullptr,
                        hStdIn != nullptr ? CREATE_NO_WINDOW : 0, nullptr, cwd.empty() ? nullptr : cwd.c_str(), &si,
                        &pi))
        return proc;
    proc.hProcess = pi.hProcess;
    proc.hThread = pi.hThread;
    proc.dwProcessId = pi.dwProcessId;
    return proc;
}

long OpWaitExit(OpProcess& proc, DWORD timeoutMs)
{
    if (proc.hProcess == nullptr) return -1;
    long code = -1;
    if (WaitForSingleObject(proc.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD dwCode = 0;
        GetExitCodeProcess(proc.hProcess, &dwCode);
        code = static_cast<long>(dwCode);
    } else {
        TerminateProcess(proc.hProcess, 255);
        WaitForSingleObject(proc.hProcess, 5000);
    }
    CloseHandle(proc.hProcess);
    CloseHandle(proc.hThread);
    proc = OpProcess();
    return code;
}

std::vector<HWND> OpTopWindows(DWORD dwProcessId)
{
    std::vector<HWND> windows;
    for (HWND hWnd = GetTopWindow(nullptr); hWnd != nullptr; hWnd = GetWindow(hWnd, GW_HWNDNEXT)) {
        DWORD dwPid = 0;
        GetWindowThreadProcessId(hWnd, &dwPid);
        if (dwPid == dwProcessId) windows.push_back(hWnd);
    }
    return windows;
}

// True for the tool's progress dialog.
static bool IsToolDialog(HWND hWnd)
{
    return ClassOf(hWnd) == SZ_DIALOG_CLASS && OpReadText(hWnd) == SZ_PROGRESS_CAPTION;
}

// True for a message box: a dialog with a box's text control.
static bool IsBox(HWND hWnd)
{
    return ClassOf(hWnd) == SZ_DIALOG_CLASS && !IsToolDialog(hWnd) &&
           GetDlgItem(hWnd, BOX_TEXT_ID) != nullptr && IsWindowVisible(hWnd);
}

// Polls the process's windows until one passes the test or time runs out.
template <class Test>
static HWND WaitForWindow(DWORD dwProcessId, DWORD timeoutMs, Test test)
{
    DWORD dwStart = GetTickCount();
    for (;;) {
        for (HWND hWnd : OpTopWindows(dwProcessId))
            if (test(hWnd)) return hWnd;
        if (GetTickCount() - dwStart >= timeoutMs) return nullptr;
        Sleep(POLL_MS);
    }
}

HWND OpFindDialog(DWORD dwProcessId, DWORD timeoutMs)
{
    return WaitForWindow(dwProcessId, timeoutMs, IsToolDialog);
}

HWND OpFindBox(DWORD dwProcessId, DWORD timeoutMs)
{
    return WaitForWindow(dwProcessId, timeoutMs, IsBox);
}

OpDialog OpReadDialog(HWND hDlg)
{
    OpDialog d;
    d.caption = OpReadText(hDlg);
    d.message = OpReadText(GetDlgItem(hDlg, IDC_MESSAGE));
    d.percent = OpReadText(GetDlgItem(hDlg, IDC_PERCENT));
    HWND hBar = GetDlgItem(hDlg, IDC_PROGRESS_BAR);
    d.barPos = static_cast<int>(SendMessageA(hBar, PBM_GETPOS, 0, 0));
    d.barMax = static_cast<int>(SendMessageA(hBar, PBM_GETRANGE, FALSE, 0));
    GetWindowRect(hDlg, &d.rect);
    d.visible = IsWindowVisible(hDlg) != FALSE;
    return d;
}

OpBox OpReadBox(HWND hBox)
{
    OpBox box;
    box.hWnd = hBox;
    box.caption = OpReadText(hBox);
    box.text = OpReadText(GetDlgItem(hBox, BOX_TEXT_ID));
    box.hOwner = GetWindow(hBox, GW_OWNER);
    if (box.hOwner != nullptr) box.ownerClass = ClassOf(box.hOwner);
    return box;
}

void OpPressOk(HWND hBox)
{
    PostMessageA(GetDlgItem(hBox, IDOK), BM_CLICK, 0, 0);
}

void OpPressKey(HWND hWnd, UINT vk, bool bAlt)
{
    UINT down = bAlt ? WM_SYSKEYDOWN : WM_KEYDOWN;
    UINT up = bAlt ? WM_SYSKEYUP : WM_KEYUP;
    LPARAM flags = bAlt ? (1 << 29) : 0;
    UINT scan = MapVirtualKeyA(vk, 0);
    LPARAM lDown = 1 | (static_cast<LPARAM>(scan) << 16) | flags;
    LPARAM lUp = lDown | (static_cast<LPARAM>(1) << 30) | (static_cast<LPARAM>(1) << 31);
    PostMessageA(hWnd, down, vk, lDown);
    PostMessageA(hWnd, up, vk, lUp);
}

// Size of a file, or -1 while it does not exist.
static long long FileSize(const std::string& winPath)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(winPath.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A file of this process's own under /tmp (process ids repeat across Wine
// lanes; the display does not).
static std::string UnixTempFile()
{
    const char* pszDisplay = getenv("DISPLAY");
    char szPath[128];
    snprintf(szPath, sizeof(szPath), "/tmp/qlunix-%s-%lu.txt",
             pszDisplay != nullptr ? pszDisplay + (*pszDisplay == ':') : "x", GetCurrentProcessId());
    return szPath;
}

// Runs a Unix program that writes unixOutPath and waits for that file: Wine
// starts a Unix program without a process handle, so the output counts as
// written once it exists and has stopped growing.
static bool RunUnixForFile(const std::string& unixExe, const std::string& args, const std::string& unixOutPath)
{
    std::string winPath = OpWinePath(unixOutPath);
    DeleteFileA(winPath.c_str());
    OpProcess proc = OpLaunch(OpWinePath(unixExe), args, "");
    if (proc.hProcess != nullptr) CloseHandle(proc.hProcess);
    if (proc.hThread != nullptr) CloseHandle(proc.hThread);
    long long lastSize = -1;
    for (int i = 0; i < 100; i++) {
        Sleep(150);
        long long size = FileSize(winPath);
        if (size > 0 && size == lastSize) return true;
        lastSize = size;
    }
    return false;
}

// qlxcursor's line: "WxH@x,y#hash screen=WxH" for the X cursor shown now and
// the screen; empty if it can't be read.  A cursor handle means nothing
// outside the process that loaded it, but every process's cursor becomes the
// same X image.
static std::string XCursorLine()
{
    // qlxcursor is a Linux program of the native tree (rig/build.sh builds it).
    const char* pszTool = getenv("QL_XCURSOR");
    std::string line = pszTool != nullptr ? OpUnixOutput(pszTool) : "";
    return line.substr(0, line.find_first_of("\r\n"));
}

// Shape of the X cursor shown now ("WxH@x,y#pixelhash").
static std::string XCursorShape()
{
    std::string line = XCursorLine();
    return line.substr(0, line.find(' '));
}

SIZE OpScreenSize()
{
    std::string line = XCursorLine();
    SIZE size = {0, 0};
    size_t at = line.find(" screen=");
    if (at != std::string::npos)
        sscanf(line.c_str() + at + 8, "%ldx%ld", &size.cx, &size.cy);
    return size;
}

// Lets this thread's windows handle what is queued for dwMs milliseconds.
static void PumpFor(DWORD dwMs)
{
    DWORD dwStart = GetTickCount();
    while (GetTickCount() - dwStart < dwMs) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        Sleep(10);
    }
}

// The X shape of a system cursor: shown over a small window of our own in the
// screen's corner, away from the tool's centred dialog.
static std::string ReferenceShape(LPCSTR pszCursor)
{
    static ATOM atom;
    static const char SZ_CLASS[] = "QlOperatorCursorProbe";
    if (atom == 0) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = SZ_CLASS;
        atom = RegisterClassA(&wc);
    }
    HWND hProbe = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, SZ_CLASS, "", WS_POPUP | WS_VISIBLE,
                                  0, 0, 64, 64, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (hProbe == nullptr) return "";
    SetClassLongPtrA(hProbe, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(LoadCursorA(nullptr, pszCursor)));
    SetCursorPos(32, 32);
    PumpFor(300);
    std::string shape = XCursorShape();
    DestroyWindow(hProbe);
    PumpFor(50);
    return shape;
}

std::string OpCursorNow()
{
    std::string shape = XCursorShape();
    if (shape.empty()) return "unknown";
    static std::string waitShape, arrowShape;
    if (waitShape.empty() || arrowShape.empty()) {
        POINT pt = {};
        GetCursorPos(&pt);
        waitShape = ReferenceShape(IDC_WAIT);
        arrowShape = ReferenceShape(IDC_ARROW);
        SetCursorPos(pt.x, pt.y);
        Sleep(200);
        shape = XCursorShape();
    }
    // The wait cursor is animated, so its frames' pixels differ: size and
    // hot spot tell the two apart.
    auto geometry = [](const std::string& s) { return s.substr(0, s.find('#')); };
    if (geometry(shape) == geometry(waitShape)) return "wait";
    if (geometry(shape) == geometry(arrowShape)) return "arrow";
    return "other:" + shape;
}

std::string OpCursorOver(HWND hWnd)
{
    RECT rc = {};
    GetWindowRect(hWnd, &rc);
    SetCursorPos((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2 + 8);
    Sleep(200);
    return OpCursorNow();
}

std::string OpUnixOutput(const std::string& command)
{
    std::string out = UnixTempFile(), text;
    if (!RunUnixForFile("/bin/sh", "-c \"" + command + " > " + out + "\"", out)) return "";
    if (FILE* pFile = fopen(OpWinePath(out).c_str(), "rb")) {
        for (int c; (c = fgetc(pFile)) != EOF;) text += static_cast<char>(c);
        fclose(pFile);
    }
    DeleteFileA(OpWinePath(out).c_str());
    return text;
}

bool OpScreenshot(const std::string& unixPngPath)
{
    return RunUnixForFile("/usr/bin/import", "-window root " + unixPngPath, unixPngPath);
}

std::string OpOwnerName(const OpBox& box, HWND hDialog)
{
    if (box.hOwner == nullptr) return "none";
    if (box.hOwner == hDialog) return "dialog";
    if (box.ownerClass == SZ_MAIN_CLASS) return "main";
    return "other:" + box.ownerClass;
}

std::string OpEscape(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '\r') escaped += "\\r";
        else if (c == '\n') escaped += "\\n";
        else escaped += c;
    }
    return escaped;
}

std::string OpDescribeBox(const OpBox& box, HWND hDialog)
{
    return "box caption=\"" + box.caption + "\" owner=" + OpOwnerName(box, hDialog) +
           " text=\"" + OpEscape(box.text) + "\"";
}
