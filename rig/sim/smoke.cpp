/*
 * smoke.exe: end-to-end check of the rig (qlusbsh.sys + qlsim.exe) from the
 * tool's side of the port, run under Wine with the driver installed.  It
 * starts qlsim.exe (found beside itself) for each group and plays the tool:
 * the same open flags, comm setup, reader thread (arm / wait / arm / read 2 /
 * cycle end) and 12,288-byte overlapped writes.
 *
 * usage: smoke [transfer|reopen|second|absent|unplug|all] [--throughput MIB]
 * Ends with "N passed, N failed".
 */
#include "simclient.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

/* The handheld's port as the tool opens it. */
static const char PORT_NAME[] = "\\\\.\\WCEUSBSH001";

/* Vendor requests of the handheld's driver. */
static const DWORD IOCTL_ARM = 0x1B0028;
static const DWORD IOCTL_WAIT = 0x1B002C;
static const DWORD IOCTL_CYCLE_END = 0x1B0030;

/* Image geometry and write size the tool uses. */
static const DWORD BLOCK_SIZE = 131072;
static const DWORD WRITE_SIZE = 12288;

/* Image of the transfer group: 512 KiB plus three blocks. */
static const DWORD SMOKE_IMAGE_SIZE = 524288 + 3 * 131072;

/* How long to wait for one expected reply from the handheld. */
static const DWORD REPLY_TIMEOUT_MS = 10000;

/* Checks passed and failed so far. */
static int g_cPassed;
static int g_cFailed;

/* Bytes the reader thread took from the port, for the main thread. */
static CRITICAL_SECTION g_csRx;
static std::deque<unsigned char> g_Rx;
static HANDLE g_hRxEvent;

/* The reader thread stopped with this error (0 while it runs). */
static volatile LONG g_lReaderError;

/* Records one check's outcome. */
static void Check(BOOL bOk, const char *pszWhat, const std::string &strDetail = std::string())
{
    if (bOk) {
        g_cPassed++;
        printf("  ok    %s\n", pszWhat);
    } else {
        g_cFailed++;
        printf("  FAIL  %s %s\n", pszWhat, strDetail.c_str());
    }
    fflush(stdout);
}

/* Formats a number for check details. */
static std::string Num(unsigned long long qw)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "%llu", qw);
    return sz;
}

/* Opens the port exactly as the tool does. */
static HANDLE OpenPort(void)
{
    return CreateFileA(PORT_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, NULL);
}

/* Issues one overlapped request and waits for it; returns the Win32 error
 * (0 on success) and whether it went pending. */
static DWORD Overlapped(HANDLE hPort, DWORD dwCode, void *pvIn, DWORD cbIn, void *pvOut, DWORD cbOut,
                        DWORD *pcbDone, BOOL *pbPended)
{
    OVERLAPPED ov;
    DWORD cbDone = 0, dwError = 0;
    BOOL bOk;

    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    bOk = DeviceIoControl(hPort, dwCode, pvIn, cbIn, pvOut, cbOut, &cbDone, &ov);
    if (pbPended != NULL)
        *pbPended = !bOk && GetLastError() == ERROR_IO_PENDING;
    if (!bOk && GetLastError() == ERROR_IO_PENDING) {
        WaitForSingleObject(ov.hEvent, INFINITE);
        bOk = GetOverlappedResult(hPort, &ov, &cbDone, FALSE);
    }
    if (!bOk)
        dwError = GetLastError();
    CloseHandle(ov.hEvent);
    if (pcbDone != NULL)
        *pcbDone = cbDone;
    return dwError;
}

/* The tool's reader: arm, wait, arm, read 2 bytes, cycle end, over and over
 * until a request fails (the handle was closed or the plug pulled). */
static DWORD WINAPI ReaderThread(LPVOID pvPort)
{
    HANDLE hPort = (HANDLE)pvPort;
    DWORD dwMask = 1, dwEvent = 0, dwEnd = 0, cbDone = 0, dwError = 0;
    unsigned char abPair[2];

    for (;;) {
        if ((dwError = Overlapped(hPort, IOCTL_ARM, &dwMask, 4, NULL, 0, NULL, NULL)) != 0)
            break;
        if ((dwError = Overlapped(hPort, IOCTL_WAIT, NULL, 0, &dwEvent, 4, NULL, NULL)) != 0)
            break;
        if ((dwError = Overlapped(hPort, IOCTL_ARM, &dwMask, 4, NULL, 0, NULL, NULL)) != 0)
            break;
        OVERLAPPED ov;
        memset(&ov, 0, sizeof(ov));
        ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        BOOL bOk = ReadFile(hPort, abPair, 2, &cbDone, &ov);
        if (!bOk && GetLastError() == ERROR_IO_PENDING) {
            WaitForSingleObject(ov.hEvent, INFINITE);
            bOk = GetOverlappedResult(hPort, &ov, &cbDone, FALSE);
        }
        dwError = bOk ? 0 : GetLastError();
        CloseHandle(ov.hEvent);
        if (dwError != 0)
            break;
        if (cbDone > 0) {
            EnterCriticalSection(&g_csRx);
            g_Rx.insert(g_Rx.end(), abPair, abPair + cbDone);
            LeaveCriticalSection(&g_csRx);
            SetEvent(g_hRxEvent);
        }
        if ((dwError = Overlapped(hPort, IOCTL_CYCLE_END, &dwEnd, 4, NULL, 0, NULL, NULL)) != 0)
            break;
    }
    InterlockedExchange(&g_lReaderError, (LONG)dwError);
    SetEvent(g_hRxEvent);
    return 0;
}

/* Waits until cb handheld bytes arrived and takes them; FALSE on timeout. */
static BOOL TakeBytes(unsigned char *pbOut, DWORD cb, DWORD dwTimeoutMs)
{
    ULONGLONG qwDeadline = GetTickCount64() + dwTimeoutMs;

    for (;;) {
        EnterCriticalSection(&g_csRx);
        if (g_Rx.size() >= cb) {
            for (DWORD i = 0; i < cb; i++) {
                pbOut[i] = g_Rx.front();
                g_Rx.pop_front();
            }
            LeaveCriticalSection(&g_csRx);
            return TRUE;
        }
        LeaveCriticalSection(&g_csRx);
        ULONGLONG qwNow = GetTickCount64();
        if (qwNow >= qwDeadline || g_lReaderError != 0)
            return FALSE;
        WaitForSingleObject(g_hRxEvent, (DWORD)(qwDeadline - qwNow));
    }
}

/* Overlapped write as the tool does it; returns the Win32 error (0 if all
 * bytes went) and counts writes that really went pending. */
static DWORD WritePort(HANDLE hPort, const unsigned char *pb, DWORD cb, DWORD *pcPended)
{
    OVERLAPPED ov;
    DWORD cbDone = 0, dwError = 0;
    BOOL bOk;

    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    bOk = WriteFile(hPort, pb, cb, &cbDone, &ov);
    if (!bOk && GetLastError() == ERROR_IO_PENDING) {
        if (pcPended != NULL)
            (*pcPended)++;
        bOk = GetOverlappedResult(hPort, &ov, &cbDone, TRUE);
    }
    if (!bOk)
        dwError = GetLastError();
    else if (cbDone != cb)
        dwError = ERROR_WRITE_FAULT;
    CloseHandle(ov.hEvent);
    return dwError;
}

/* A running qlsim.exe with its stdin pipe (closing it stops the simulator). */
struct SIM_PROCESS {
    PROCESS_INFORMATION pi;
    HANDLE hStdinWrite;
};

/* Directory of this program, with a trailing backslash. */
static std::string ProgramDir(void)
{
    char szPath[MAX_PATH];
    DWORD cch = GetModuleFileNameA(NULL, szPath, MAX_PATH);
    std::string str(szPath, cch);
    size_t pos = str.find_last_of("\\/");
    return pos == std::string::npos ? std::string() : str.substr(0, pos + 1);
}

/* A fresh file name in the temp folder. */
static std::string TempName(const char *pszPrefix)
{
    char szDir[MAX_PATH], szName[MAX_PATH];
    GetTempPathA(MAX_PATH, szDir);
    GetTempFileNameA(szDir, pszPrefix, 0, szName);
    return szName;
}

/* Starts qlsim.exe with arguments and waits for its "ready" line. */
static BOOL StartSim(const std::string &strArgs, SIM_PROCESS *pSim)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, TRUE};
    HANDLE hOutRead, hOutWrite, hInRead, hInWrite;
    STARTUPINFOA si;
    std::string strCmd = "\"" + ProgramDir() + "qlsim.exe\" " + strArgs;
    std::string strOut;

    if (!CreatePipe(&hOutRead, &hOutWrite, &sa, 0) || !CreatePipe(&hInRead, &hInWrite, &sa, 0))
        return FALSE;
    SetHandleInformation(hOutRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(hInWrite, HANDLE_FLAG_INHERIT, 0);
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hInRead;
    si.hStdOutput = hOutWrite;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::vector<char> cmd(strCmd.begin(), strCmd.end());
    cmd.push_back('\0');
    BOOL bOk = CreateProcessA(NULL, &cmd[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pSim->pi);
    CloseHandle(hOutWrite);
    CloseHandle(hInRead);
    if (!bOk) {
        CloseHandle(hOutRead);
        CloseHandle(hInWrite);
        return FALSE;
    }
    pSim->hStdinWrite = hInWrite;
    for (;;) {
        char ch;
        DWORD cbRead = 0;
        if (!ReadFile(hOutRead, &ch, 1, &cbRead, NULL) || cbRead == 0)
            break;
        strOut += ch;
        /* The line may end in \r\n: stdout is in text mode. */
        if (ch == '\n' && strOut.find("ready") != std::string::npos)
            break;
    }
    /* The rest of its output is not needed; the pipe closes with it. */
    CloseHandle(hOutRead);
    return strOut.find("ready") != std::string::npos;
}

/* Stops qlsim.exe (closing its stdin) unless it already ended; returns its
 * exit code, or -1 if it had to be killed. */
static int StopSim(SIM_PROCESS *pSim, DWORD dwTimeoutMs)
{
    DWORD dwExit = 0;
    int nResult;

    if (WaitForSingleObject(pSim->pi.hProcess, dwTimeoutMs) != WAIT_OBJECT_0) {
        CloseHandle(pSim->hStdinWrite);
        pSim->hStdinWrite = NULL;
        if (WaitForSingleObject(pSim->pi.hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(pSim->pi.hProcess, 99);
        WaitForSingleObject(pSim->pi.hProcess, INFINITE);
    }
    GetExitCodeProcess(pSim->pi.hProcess, &dwExit);
    nResult = dwExit == 99 ? -1 : (int)dwExit;
    if (pSim->hStdinWrite != NULL)
        CloseHandle(pSim->hStdinWrite);
    CloseHandle(pSim->pi.hProcess);
    CloseHandle(pSim->pi.hThread);
    return nResult;
}

/* Reads a whole file; empty if it cannot. */
static std::string ReadWholeFile(const std::string &strPath)
{
    std::string str;
    FILE *pFile = fopen(strPath.c_str(), "rb");
    char ab[65536];
    size_t cb;

    if (pFile == NULL)
        return str;
    while ((cb = fread(ab, 1, sizeof(ab), pFile)) > 0)
        str.append(ab, cb);
    fclose(pFile);
    return str;
}

/* Splits text into lines. */
static std::vector<std::string> Lines(const std::string &str)
{
    std::vector<std::string> lines;
    size_t pos = 0, eol;

    while ((eol = str.find('\n', pos)) != std::string::npos) {
        size_t end = eol > pos && str[eol - 1] == '\r' ? eol - 1 : eol;
        lines.push_back(str.substr(pos, end - pos));
        pos = eol + 1;
    }
    if (pos < str.size())
        lines.push_back(str.substr(pos));
    return lines;
}

/* Counts lines equal to a text, or starting with it if bPrefix. */
static size_t CountLines(const std::vector<std::string> &lines, const std::string &str, BOOL bPrefix)
{
    size_t c = 0;
    for (size_t i = 0; i < lines.size(); i++) {
        if (bPrefix ? lines[i].compare(0, str.size(), str) == 0 : lines[i] == str)
            c++;
    }
    return c;
}

/* Last line starting with a prefix, or empty. */
static std::string LastLine(const std::vector<std::string> &lines, const std::string &strPrefix)
{
    for (size_t i = lines.size(); i-- > 0;) {
        if (lines[i].compare(0, strPrefix.size(), strPrefix) == 0)
            return lines[i];
    }
    return std::string();
}

/* Deterministic image content. */
static std::vector<unsigned char> MakeImage(DWORD cb)
{
    std::vector<unsigned char> image(cb);
    DWORD dwSeed = 0x12345678;
    for (DWORD i = 0; i < cb; i++) {
        dwSeed = dwSeed * 1103515245u + 12345u;
        image[i] = (unsigned char)(dwSeed >> 16);
    }
    return image;
}

/* The tool's comm setup: DCB 115200 8N1 with DTR/RTS enabled, DTR and RTS
 * raised, timeouts set.  Returns the Win32 error of the first failing call. */
static DWORD SetUpPort(HANDLE hPort)
{
    DCB dcb;
    COMMTIMEOUTS timeouts;

    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(hPort, &dcb))
        return GetLastError();
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(hPort, &dcb))
        return GetLastError();
    if (!EscapeCommFunction(hPort, SETDTR) || !EscapeCommFunction(hPort, SETRTS))
        return GetLastError();
    if (!GetCommTimeouts(hPort, &timeouts))
        return GetLastError();
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 5000;
    if (!SetCommTimeouts(hPort, &timeouts))
        return GetLastError();
    return 0;
}

/* Result of playing the tool's side of one transfer. */
struct TRANSFER_RESULT {
    DWORD dwError;          /* first failure, 0 if none */
    std::string strStep;    /* where it failed */
    DWORD cWrites;
    DWORD cPended;          /* writes that returned ERROR_IO_PENDING */
    DWORD cBlocks;          /* blocks sent */
    double dSeconds;        /* time of the block phase */
};

/* Plays the tool: comm setup, reader, connect, length, blocks on request. */
static TRANSFER_RESULT Transfer(HANDLE hPort, const std::vector<unsigned char> &image)
{
    TRANSFER_RESULT res = {0, std::string(), 0, 0, 0, 0.0};
    unsigned char abPair[2];
    unsigned char bConnect = 0x41;
    DWORD dwLength = (DWORD)image.size();
    unsigned char abLength[4] = {(unsigned char)dwLength, (unsigned char)(dwLength >> 8),
                                 (unsigned char)(dwLength >> 16), (unsigned char)(dwLength >> 24)};
    LARGE_INTEGER liFreq, liStart, liEnd;

    if ((res.dwError = SetUpPort(hPort)) != 0) {
        res.strStep = "comm setup";
        return res;
    }
    /* An empty write reaches the handheld as an empty record. */
    if ((res.dwError = WritePort(hPort, NULL, 0, &res.cPended)) != 0) {
        res.strStep = "empty write";
        return res;
    }
    res.cWrites++;
    if ((res.dwError = WritePort(hPort, &bConnect, 1, &res.cPended)) != 0) {
        res.strStep = "connect write";
        return res;
    }
    res.cWrites++;
    if (!TakeBytes(abPair, 2, REPLY_TIMEOUT_MS) || abPair[0] != 0x05 || abPair[1] != 0x00) {
        res.dwError = ERROR_TIMEOUT;
        res.strStep = "ready pair";
        return res;
    }
    if ((res.dwError = WritePort(hPort, abLength, 4, &res.cPended)) != 0) {
        res.strStep = "length write";
        return res;
    }
    res.cWrites++;
    QueryPerformanceFrequency(&liFreq);
    QueryPerformanceCounter(&liStart);
    for (DWORD dwBlock = 0; dwBlock < dwLength / BLOCK_SIZE; dwBlock++) {
        if (!TakeBytes(abPair, 2, REPLY_TIMEOUT_MS) || abPair[0] != 0x04 || abPair[1] != 0x00) {
            res.dwError = ERROR_TIMEOUT;
            res.strStep = "request pair " + Num(dwBlock + 1);
            return res;
        }
        for (DWORD dwPos = 0; dwPos < BLOCK_SIZE; dwPos += WRITE_SIZE) {
            DWORD cb = BLOCK_SIZE - dwPos < WRITE_SIZE ? BLOCK_SIZE - dwPos : WRITE_SIZE;
            if ((res.dwError = WritePort(hPort, &image[dwBlock * BLOCK_SIZE + dwPos], cb,
                                         &res.cPended)) != 0) {
                res.strStep = "block write " + Num(dwBlock + 1);
                return res;
            }
            res.cWrites++;
        }
        res.cBlocks++;
    }
    QueryPerformanceCounter(&liEnd);
    res.dSeconds = (double)(liEnd.QuadPart - liStart.QuadPart) / (double)liFreq.QuadPart;
    return res;
}

/* Opens the port and starts the reader thread; NULL handle on failure. */
static HANDLE OpenWithReader(HANDLE *phThread)
{
    HANDLE hPort = OpenPort();

    *phThread = NULL;
    if (hPort == INVALID_HANDLE_VALUE)
        return hPort;
    EnterCriticalSection(&g_csRx);
    g_Rx.clear();
    LeaveCriticalSection(&g_csRx);
    InterlockedExchange(&g_lReaderError, 0);
    ResetEvent(g_hRxEvent);
    *phThread = CreateThread(NULL, 0, ReaderThread, hPort, 0, NULL);
    return hPort;
}

/* Closes the port and waits for the reader to see it (its wait fails). */
static BOOL CloseWithReader(HANDLE hPort, HANDLE hThread)
{
    BOOL bJoined;

    CloseHandle(hPort);
    if (hThread == NULL)
        return TRUE;
    bJoined = WaitForSingleObject(hThread, 10000) == WAIT_OBJECT_0;
    CloseHandle(hThread);
    return bJoined;
}

/* Group "transfer": a 7-block image end to end, checked in the simulator's
 * log and data. */
static void GroupTransfer(void)
{
    std::string strLog = TempName("qsl"), strData = TempName("qsd");
    SIM_PROCESS sim;
    std::vector<unsigned char> image = MakeImage(SMOKE_IMAGE_SIZE);
    HANDLE hThread, hPort;

    printf("transfer\n");
    if (!StartSim("--log \"" + strLog + "\" --data \"" + strData + "\" --exit-after 60000", &sim)) {
        Check(FALSE, "qlsim starts");
        return;
    }
    hPort = OpenWithReader(&hThread);
    Check(hPort != INVALID_HANDLE_VALUE, "port opens", "error " + Num(GetLastError()));
    if (hPort == INVALID_HANDLE_VALUE) {
        StopSim(&sim, 0);
        return;
    }
    TRANSFER_RESULT res = Transfer(hPort, image);
    Check(res.dwError == 0, "transfer completes", res.strStep + ": error " + Num(res.dwError));
    Check(res.cPended == res.cWrites, "every write went pending",
          Num(res.cPended) + " of " + Num(res.cWrites));
    Check(CloseWithReader(hPort, hThread), "reader's pending wait fails on close");
    Check(g_lReaderError == ERROR_OPERATION_ABORTED, "wait ends with ERROR_OPERATION_ABORTED",
          "error " + Num((unsigned long long)g_lReaderError));
    Check(StopSim(&sim, 15000) == 0, "qlsim ends by itself after the close");

    std::vector<std::string> lines = Lines(ReadWholeFile(strLog));
    Check(CountLines(lines, "open", FALSE) == 1 && CountLines(lines, "close", FALSE) == 1,
          "log: one open, one close");
    std::string strSettings = LastLine(lines, "settings ");
    std::string strWant = "settings baud=115200 data=8 parity=0 stop=0 dtr=1 rts=1 ";
    Check(strSettings.compare(0, strWant.size(), strWant) == 0,
          "log: settings 115200 8N1, DTR and RTS up", strSettings);
    Check(LastLine(lines, "timeouts ") == "timeouts ri=4294967295 rm=0 rc=0 wm=0 wc=5000",
          "log: timeouts", LastLine(lines, "timeouts "));
    Check(CountLines(lines, "ioctl 0x1b0028 in=4 out=0 status=0x0", FALSE) > 0 &&
              CountLines(lines, "ioctl 0x1b0030 in=4 out=0 status=0x0", FALSE) > 0 &&
              CountLines(lines, "ioctl 0x1b002c in=0 out=4 status=0x103", FALSE) > 0,
          "log: arm, cycle end and pending wait requests");
    Check(CountLines(lines, "ioctl 0x1b0028 in=0 out=0", TRUE) == 0 &&
              CountLines(lines, "ioctl 0x1b0030 in=0 out=0 status=0x0", FALSE) == 1,
          "log: SETRTS served as a line change, no CLRDTR");
    Check(CountLines(lines, "write 0", FALSE) == 1 && CountLines(lines, "write 12288", FALSE) == 70 &&
              CountLines(lines, "write 8192", FALSE) == 7,
          "log: writes of 0, 12288 x70 and 8192 x7 bytes");
    Check(LastLine(lines, "result ") ==
              "result connect=1 length=917504 blocks=7 bytes=917504 complete=1",
          "log: result", LastLine(lines, "result "));

    std::string strBytes = ReadWholeFile(strData);
    std::string strExpect;
    strExpect += (char)0x41;
    strExpect += std::string("\x00\x00\x0e\x00", 4);
    strExpect.append(image.begin(), image.end());
    Check(strBytes == strExpect, "data: connect byte, length word and image, in order",
          Num(strBytes.size()) + " bytes");
    DeleteFileA(strLog.c_str());
    DeleteFileA(strData.c_str());
}

/* Group "reopen" (bSecond FALSE): 200 back-to-back close/reopen cycles by
 * this program, each reopened handle served.  Group "second" (bSecond TRUE):
 * while this program holds the port, another program cannot use it. */
static void GroupReopen(BOOL bSecond)
{
    SIM_PROCESS sim;
    HANDLE hPort;
    int cFailedOpens = 0, cFailedSetups = 0;
    DWORD dwLastError = 0;

    printf(bSecond ? "second\n" : "reopen\n");
    if (!StartSim("--exit-after 60000", &sim)) {
        Check(FALSE, "qlsim starts");
        return;
    }
    hPort = OpenPort();
    Check(hPort != INVALID_HANDLE_VALUE, "port opens", "error " + Num(GetLastError()));
    if (!bSecond) {
        for (int i = 0; i < 200; i++) {
            /* Every other cycle closes a handle no request has gone through
             * yet, as the tool's probe open does. */
            CloseHandle(hPort);
            hPort = OpenPort();
            if (i % 2 == 0 && hPort != INVALID_HANDLE_VALUE) {
                CloseHandle(hPort);
                hPort = OpenPort();
            }
            if (hPort == INVALID_HANDLE_VALUE) {
                cFailedOpens++;
                dwLastError = GetLastError();
                Sleep(100);
                hPort = OpenPort();
                continue;
            }
            DCB dcb;
            memset(&dcb, 0, sizeof(dcb));
            dcb.DCBlength = sizeof(dcb);
            if (!GetCommState(hPort, &dcb)) {
                cFailedSetups++;
                dwLastError = GetLastError();
                printf("  cycle %d: GetCommState failed, error %lu\n", i, dwLastError);
            }
        }
        Check(cFailedOpens == 0 && cFailedSetups == 0, "200 close/reopen cycles all served",
              Num((unsigned long long)cFailedOpens) + " opens and " +
                  Num((unsigned long long)cFailedSetups) + " GetCommState failed, last error " +
                  Num(dwLastError));
    } else {
        STARTUPINFOA si;
        PROCESS_INFORMATION pi;
        DWORD dwExit = 1;
        std::string strCmd = "\"" + ProgramDir() + "smoke.exe\" --child-open";
        std::vector<char> cmd(strCmd.begin(), strCmd.end());
        cmd.push_back('\0');
        memset(&si, 0, sizeof(si));
        si.cb = sizeof(si);
        if (CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
            WaitForSingleObject(pi.hProcess, 30000);
            GetExitCodeProcess(pi.hProcess, &dwExit);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        Check(dwExit == 0, "a second program cannot use the held port", "child exit " + Num(dwExit));
        DCB dcb;
        memset(&dcb, 0, sizeof(dcb));
        dcb.DCBlength = sizeof(dcb);
        Check(GetCommState(hPort, &dcb), "the holder still is served");
    }
    if (hPort != INVALID_HANDLE_VALUE)
        CloseHandle(hPort);
    StopSim(&sim, 0);
}

/* Child of group "second": tries the port while the parent holds it.
 * Exit 0 if refused (open or first request fails), 1 if it got the port. */
static int ChildOpen(void)
{
    HANDLE hPort = OpenPort();
    DCB dcb;

    if (hPort == INVALID_HANDLE_VALUE) {
        printf("  child: CreateFile failed, error %lu\n", GetLastError());
        return 0;
    }
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(hPort, &dcb)) {
        printf("  child: CreateFile succeeded, GetCommState failed, error %lu\n", GetLastError());
        CloseHandle(hPort);
        return GetLastError() == ERROR_ACCESS_DENIED ? 0 : 2;
    }
    CloseHandle(hPort);
    return 1;
}

/* Group "absent": with the handheld not plugged in, the port does not open. */
static void GroupAbsent(void)
{
    SIM_PROCESS sim;
    HANDLE hPort;
    DWORD dwError;

    printf("absent\n");
    if (!StartSim("--absent --exit-after 60000", &sim)) {
        Check(FALSE, "qlsim starts");
        return;
    }
    hPort = OpenPort();
    dwError = GetLastError();
    Check(hPort == INVALID_HANDLE_VALUE && dwError == ERROR_FILE_NOT_FOUND,
          "CreateFile fails with ERROR_FILE_NOT_FOUND", "error " + Num(dwError));
    if (hPort != INVALID_HANDLE_VALUE)
        CloseHandle(hPort);
    StopSim(&sim, 0);
}

/* Group "unplug": the plug is pulled during block 2; the transfer fails,
 * the handle stays dead and the port is gone. */
static void GroupUnplug(void)
{
    SIM_PROCESS sim;
    HANDLE hThread, hPort;
    std::vector<unsigned char> image = MakeImage(SMOKE_IMAGE_SIZE);
    DCB dcb;

    printf("unplug\n");
    if (!StartSim("--unplug-after 200000 --exit-after 60000", &sim)) {
        Check(FALSE, "qlsim starts");
        return;
    }
    hPort = OpenWithReader(&hThread);
    if (hPort == INVALID_HANDLE_VALUE) {
        Check(FALSE, "port opens", "error " + Num(GetLastError()));
        StopSim(&sim, 0);
        return;
    }
    TRANSFER_RESULT res = Transfer(hPort, image);
    Check(res.dwError != 0 && res.cBlocks == 1, "transfer fails during block 2",
          res.strStep + ": error " + Num(res.dwError) + ", blocks " + Num(res.cBlocks));
    Check(WaitForSingleObject(hThread, 10000) == WAIT_OBJECT_0 && g_lReaderError != 0,
          "reader's wait fails", "error " + Num((unsigned long long)g_lReaderError));
    printf("  (write error %lu, reader error %ld)\n", res.dwError, g_lReaderError);
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    Check(!GetCommState(hPort, &dcb), "later requests on the handle fail");
    CloseWithReader(hPort, hThread);
    hPort = OpenPort();
    Check(hPort == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND,
          "the port is gone", "error " + Num(GetLastError()));
    if (hPort != INVALID_HANDLE_VALUE)
        CloseHandle(hPort);
    StopSim(&sim, 15000);
}

/* Measures a transfer of dwMiB MiB through driver and simulator. */
static void Throughput(DWORD dwMiB)
{
    SIM_PROCESS sim;
    HANDLE hThread, hPort;
    std::vector<unsigned char> image = MakeImage(dwMiB * 1048576u);

    printf("throughput %lu MiB\n", dwMiB);
    if (!StartSim("--exit-after 600000", &sim)) {
        Check(FALSE, "qlsim starts");
        return;
    }
    hPort = OpenWithReader(&hThread);
    TRANSFER_RESULT res = Transfer(hPort, image);
    Check(res.dwError == 0, "transfer completes", res.strStep + ": error " + Num(res.dwError));
    if (res.dwError == 0 && res.dSeconds > 0)
        printf("  %lu MiB in %.2f s: %.1f MiB/s, %.0f writes/s\n", dwMiB, res.dSeconds,
               dwMiB / res.dSeconds, res.cWrites / res.dSeconds);
    CloseWithReader(hPort, hThread);
    StopSim(&sim, 15000);
}

/* Entry point: runs the groups asked for (all by default). */
int main(int argc, char **argv)
{
    std::string strGroup = "all";
    DWORD dwThroughputMiB = 0;

    for (int i = 1; i < argc; i++) {
        std::string strArg = argv[i];
        if (strArg == "--child-open")
            return ChildOpen();
        if (strArg == "--throughput" && i + 1 < argc)
            dwThroughputMiB = (DWORD)strtoul(argv[++i], NULL, 10);
        else
            strGroup = strArg;
    }
    InitializeCriticalSection(&g_csRx);
    g_hRxEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (dwThroughputMiB != 0) {
        Throughput(dwThroughputMiB);
    } else {
        if (strGroup == "all" || strGroup == "transfer")
            GroupTransfer();
        if (strGroup == "all" || strGroup == "reopen")
            GroupReopen(FALSE);
        if (strGroup == "all" || strGroup == "second")
            GroupReopen(TRUE);
        if (strGroup == "all" || strGroup == "absent")
            GroupAbsent();
        if (strGroup == "all" || strGroup == "unplug")
            GroupUnplug();
    }
    printf("%d passed, %d failed\n", g_cPassed, g_cFailed);
    return g_cFailed == 0 && g_cPassed > 0 ? 0 : 1;
}
