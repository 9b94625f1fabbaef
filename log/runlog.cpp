// The run log; see runlog.h.
#include "log/runlog.h"

#include <wincrypt.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <atomic>

#include "common/globals.h"
#include "log/logtext.h"

// The log's name, in the current directory beside nk.nb0.
static const char SZ_LOG_NAME[] = "quenlow.log";

// Longest line; a longer one is cut.
static constexpr int LINE_SIZE = 512;

// What the end line of a lost link tells the user to do before running again.
static const char SZ_LOST_ADVICE[] =
    "; before the next run put the handheld back into its boot loader and re-plug its cable";

// Bytes the image hash reads at a time: a fixed buffer, so memory stays flat
// whatever the image's size.
static constexpr DWORD HASH_CHUNK = 64 * 1024;

// Guards everything below; taken by the worker, the reader and the dialog,
// each for LOG_WAIT_MS at most (EnterLog).
static CRITICAL_SECTION csLog;

// The open log, or INVALID_HANDLE_VALUE when there is none.
static HANDLE hLogFile = INVALID_HANDLE_VALUE;

// The end line was claimed: the run's record is closed.  Set without the
// lock, so that a line that could not wait still closes it.
static std::atomic<bool> bEnded{false};

// Performance counter at start-up and its frequency, for line times.
static LARGE_INTEGER liStart, liFrequency;

// When the connect byte went out (worker only), whether it did, and the
// blocks of the data phase and how many went (written by the worker, read by
// the dialog's timer reaction).
static double msConnectSent = 0;
static std::atomic<bool> bConnectSent{false};
static std::atomic<uint32_t> dwBlocks{0}, dwBlocksSent{0};

void InitRunLog()
{
    InitializeCriticalSection(&csLog);
    QueryPerformanceFrequency(&liFrequency);
    QueryPerformanceCounter(&liStart);
}

double LogClockMs()
{
    LARGE_INTEGER liNow;
    QueryPerformanceCounter(&liNow);
    return static_cast<double>(liNow.QuadPart - liStart.QuadPart) * 1000.0 /
           static_cast<double>(liFrequency.QuadPart);
}

// Takes the log's lock, waiting LOG_WAIT_MS at most: a log on a stalled
// network share must not hold the dialog's box or the reader.  False, with
// the line left out, when it could not be had.
static bool EnterLog()
{
    for (DWORD dwStart = GetTickCount(); !TryEnterCriticalSection(&csLog);) {
        if (GetTickCount() - dwStart >= LOG_WAIT_MS) return false;
        Sleep(1);
    }
    return true;
}

// Writes one finished line, led by the time; caller holds csLog.
static void WriteLineLocked(const char* szText)
{
    if (hLogFile == INVALID_HANDLE_VALUE) return;
    char szLine[LINE_SIZE + 32];
    int cch = snprintf(szLine, sizeof(szLine), "%8lu ms  %s\r\n",
                       static_cast<unsigned long>(LogClockMs()), szText);
    if (cch < 0) return;
    if (cch >= static_cast<int>(sizeof(szLine))) cch = sizeof(szLine) - 1;
    DWORD dwWritten = 0;
    WriteFile(hLogFile, szLine, static_cast<DWORD>(cch), &dwWritten, nullptr);
}

// Formats and writes one line; bEnd makes it the run's last.
static void WriteLine(bool bEnd, const char* szFormat, va_list args)
{
    char szText[LINE_SIZE + 8] = "end: ";
    int cch = vsnprintf(szText + 5, LINE_SIZE, szFormat, args);
    // After a lost link the handheld may be waiting in the middle of a block,
    // where a new run's first bytes would be taken as image data.
    if (bEnd && strncmp(szText + 5, "lost:", 5) == 0 && cch > 0 && cch < LINE_SIZE)
        snprintf(szText + 5 + cch, static_cast<size_t>(LINE_SIZE - cch), "%s", SZ_LOST_ADVICE);
    if (bEnd ? bEnded.exchange(true) : bEnded.load()) return;
    if (!EnterLog()) return;
    // Looked at again under the lock: an event that passed the look above
    // while the end line was being written must not follow it.
    if (bEnd || !bEnded.load()) WriteLineLocked(bEnd ? szText : szText + 5);
    LeaveCriticalSection(&csLog);
}

void LogEvent(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    WriteLine(false, szFormat, args);
    va_end(args);
}

void LogEnd(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    WriteLine(true, szFormat, args);
    va_end(args);
}

// Keeps the log's last LOG_KEEP bytes, from the first whole line in them,
// when it has grown beyond LOG_LIMIT; a cut that fails leaves it as it was.
static void CutLog(HANDLE hFile)
{
    DWORD dwSize = GetFileSize(hFile, nullptr);
    if (dwSize == INVALID_FILE_SIZE || LogKeepFrom(dwSize) == 0) return;
    DWORD dwFrom = LogKeepFrom(dwSize), cbTail = dwSize - dwFrom, dwRead = 0, dwWritten = 0;
    char* pTail = static_cast<char*>(LocalAlloc(LMEM_FIXED, cbTail));
    if (pTail == nullptr) return;
    if (SetFilePointer(hFile, static_cast<LONG>(dwFrom), nullptr, FILE_BEGIN) == dwFrom &&
        ReadFile(hFile, pTail, cbTail, &dwRead, nullptr) && dwRead == cbTail) {
        DWORD dwLine = 0;
        while (dwLine < cbTail && pTail[dwLine++] != '\n') {
        }
        SetFilePointer(hFile, 0, nullptr, FILE_BEGIN);
        if (WriteFile(hFile, pTail + dwLine, cbTail - dwLine, &dwWritten, nullptr)) SetEndOfFile(hFile);
    }
    LocalFree(pTail);
}

void OpenRunLog()
{
    HANDLE hFile = CreateFileA(SZ_LOG_NAME, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return;
    CutLog(hFile);
    SetFilePointer(hFile, 0, nullptr, FILE_END);
    EnterCriticalSection(&csLog); // before any other thread logs
    hLogFile = hFile;
    LeaveCriticalSection(&csLog);

    OSVERSIONINFOA os = {};
    os.dwOSVersionInfoSize = sizeof(os);
    GetVersionExA(&os);
    SYSTEMTIME st;
    GetLocalTime(&st);
    LogEvent("quenlow 1.1 started %04u-%02u-%02u %02u:%02u:%02u on Windows %lu.%lu.%lu %s", st.wYear,
             st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, os.dwMajorVersion,
             os.dwMinorVersion, os.dwBuildNumber, os.szCSDVersion);
}

// SHA-256 of the rest of the file as 64 hex digits; empty when the
// platform's provider or a read fails.
static LogText HashFile(HANDLE hFile)
{
    static BYTE abChunk[HASH_CHUNK];
    LogText hex = {};
    HCRYPTPROV hProv = 0;
    HCRYPTHASH hHash = 0;
    if (!CryptAcquireContextA(&hProv, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return hex;
    if (CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hHash)) {
        DWORD dwRead = 0;
        bool bOk = true;
        while ((bOk = ReadFile(hFile, abChunk, HASH_CHUNK, &dwRead, nullptr) != FALSE) && dwRead > 0)
            if (!(bOk = CryptHashData(hHash, abChunk, dwRead, 0) != FALSE)) break;
        BYTE abHash[32];
        DWORD cbHash = sizeof(abHash);
        if (bOk && CryptGetHashParam(hHash, HP_HASHVAL, abHash, &cbHash, 0) && cbHash == 32)
            for (DWORD i = 0; i < cbHash; i++) snprintf(hex.sz + 2 * i, 3, "%02x", abHash[i]);
        CryptDestroyHash(hHash);
    }
    CryptReleaseContext(hProv, 0);
    return hex;
}

void LogImage(HANDLE hImage, DWORD dwSize)
{
    LogText hash = HashFile(hImage);
    SetFilePointer(hImage, 0, nullptr, FILE_BEGIN);
    LogEvent("image nk.nb0: %lu bytes, SHA-256 %s", static_cast<unsigned long>(dwSize),
             hash.sz[0] != 0 ? hash.sz : "not available");
}

void LogConnectSent()
{
    msConnectSent = LogClockMs();
    bConnectSent.store(true);
    LogEvent("connect byte sent");
}

void LogBlockCount(uint32_t blocks)
{
    dwBlocks.store(blocks);
}

void LogBlockSent(uint32_t block, double msFromRequest)
{
    dwBlocksSent.store(block);
    uint32_t blocks = dwBlocks.load();
    LogEvent("%s sent, %s from request to last byte%s", WhatWasSent(block, blocks).sz,
             FormatMs(msFromRequest).sz,
             block + 2 > blocks ? (block + 1 == blocks ? " (deferred half 1)" : " (deferred half 2)")
                                : "");
}

LogText TimerEndCause(UINT idTimer)
{
    uint32_t sent = dwBlocksSent.load(), blocks = dwBlocks.load();
    LogText cause;
    if (idTimer == TIMER_PORT)
        snprintf(cause.sz, sizeof(cause.sz), "port: the port's opens, settings or the reader's start held up for %u s",
                 TIMER_PORT_MS / 1000);
    else if (idTimer == TIMER_HANDSHAKE && !bConnectSent.load())
        snprintf(cause.sz, sizeof(cause.sz), "lost: handshake deadline passed before the connect byte went out");
    else if (idTimer == TIMER_HANDSHAKE)
        snprintf(cause.sz, sizeof(cause.sz), "lost: handshake deadline passed, no ready reply within 1 s of the connect byte");
    else if (blocks == 0) // the block count is set once the length word went out
        snprintf(cause.sz, sizeof(cause.sz), "lost: watchdog: the image's head or the length word held up for 30 s");
    else
        snprintf(cause.sz, sizeof(cause.sz), "lost: %s", WatchdogCause(sent, blocks).sz);
    return cause;
}

void LogDone(uint32_t imageBytes)
{
    double ms = LogClockMs() - msConnectSent;
    LogEnd("Flash Done! %lu image bytes in %.2f s, %llu KiB/s", static_cast<unsigned long>(imageBytes),
           ms / 1000.0,
           static_cast<unsigned long long>(RateKiBPerSecond(imageBytes, static_cast<uint64_t>(ms * 1000.0))));
}

LogText SystemErrorText(DWORD dwError)
{
    char szText[sizeof(LogText::sz) - 24] = "";
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               dwError, 0, szText, sizeof(szText), nullptr);
    while (cch > 0 && (szText[cch - 1] == '\n' || szText[cch - 1] == '\r' || szText[cch - 1] == ' '))
        szText[--cch] = 0;
    LogText text;
    snprintf(text.sz, sizeof(text.sz), cch > 0 ? "error %lu: %s" : "error %lu", dwError, szText);
    return text;
}
