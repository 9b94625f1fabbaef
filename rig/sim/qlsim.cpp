/*
 * qlsim.exe: the simulated handheld behind the stand-in USB serial driver.
 * A Win32 console program run under Wine; it talks to the driver's control
 * device, so the tool on \\.\WCEUSBSH001 believes a handheld is attached.
 *
 * The handheld's side of the ROM transfer:
 *   host   41                       connect byte
 *   device 05 00                    ready
 *   host   L (4 bytes, little-endian) image length
 *   device [size 00]                ROM size in MiB (0x20, 0x18, 0x10, 0x08),
 *                                   only with --rom, then a pause (--rom-gap)
 *   device 04 00                    "send a block", L / 131072 times, each one
 *   host   131072 bytes             after the previous block fully arrived
 *
 * It plugs the handheld in at start (unless --absent), prints "ready", serves
 * the host, and pulls the plug again before it exits, which it does when the
 * host closes the port after the last block, on --exit-after, on ctrl-c, or
 * when its standard input is a pipe that gets closed.  Options (options.h)
 * make it misbehave the ways a real handheld and its driver can.
 */
#include "options.h"
#include "simclient.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

/* Bytes in one block of the image. */
static const DWORD BLOCK_SIZE = 131072;

/* Byte the host sends to start a session. */
static const unsigned char CONNECT_BYTE = 0x41;

/* First byte of the ready pair and of the block request pair. */
static const unsigned char READY_BYTE = 0x05;
static const unsigned char REQUEST_BYTE = 0x04;

/* Stray byte sent ahead of the ready pair by --ready skew. */
static const unsigned char STRAY_BYTE = 0x7F;

/* The reader's arm request, as the driver records it when it holds one. */
static const DWORD ARM_REQUEST = 0x001B0028;
static const int32_t STATUS_PENDING_CODE = 0x103;

/* Longest wait for host records before checking timers and the stop flag. */
static const DWORD POLL_MS = 50;

/* Progress of one host session (open to close). */
struct SIM_SESSION {
    BOOL bConnected;             /* the connect byte arrived */
    DWORD cbLengthSeen;          /* bytes of the length word so far */
    DWORD dwLength;              /* the length word */
    BOOL bLengthKnown;
    DWORD dwBlocksWanted;        /* L / BLOCK_SIZE */
    DWORD dwRequestsSent;        /* block requests scheduled so far */
    DWORD dwBlocksReceived;      /* whole blocks that arrived */
    ULONGLONG qwDataBytes;       /* bytes after the length word */
};

/* Something for the host that waits for its time: bytes to send, or (with
 * no bytes) the release of a held arm request. */
struct SCHEDULED_SEND {
    ULONGLONG qwDue;                    /* GetTickCount64 time */
    std::vector<unsigned char> bytes;
};

/* Options in force. */
static SIM_OPTIONS g_Options;

/* The driver's control device. */
static HSIMCTL g_hCtl;

/* --log and --data files, NULL when not asked for. */
static FILE *g_pLog, *g_pData;

/* Set by ctrl-c or by the closing of a piped standard input. */
static volatile LONG g_lStop;

/* Sends waiting for their time, in due order. */
static std::vector<SCHEDULED_SEND> g_Scheduled;

/* The current session, and the last earlier one that saw the connect byte. */
static SIM_SESSION g_Session, g_LastConnected;

/* The run is over (transfer complete and port closed, or plug pulled). */
static BOOL g_bDone;

/* --stall-after: the stall came (it comes once), and when it ends (0: not
 * stalled now). */
static BOOL g_bStalled;
static ULONGLONG g_qwStallEnd;

/* Writes one line to the log file, if any, led by the tick count in ms: the
 * clock every process here shares, so tests can compare times. */
static void LogLine(const char *pszFormat, ...)
{
    va_list args;

    if (g_pLog == NULL)
        return;
    fprintf(g_pLog, "%lu ", GetTickCount());
    va_start(args, pszFormat);
    vfprintf(g_pLog, pszFormat, args);
    va_end(args);
    fputc('\n', g_pLog);
    fflush(g_pLog);
}

/* Console control handler: ctrl-c and friends end the run cleanly. */
static BOOL WINAPI CtrlHandler(DWORD dwCtrlType)
{
    (void)dwCtrlType;
    InterlockedExchange(&g_lStop, 1);
    return TRUE;
}

/* Thread that ends the run when the piped standard input closes. */
static DWORD WINAPI StdinWatch(LPVOID pvStdin)
{
    char abBuffer[256];
    DWORD cbRead = 0;

    while (ReadFile((HANDLE)pvStdin, abBuffer, sizeof(abBuffer), &cbRead, NULL) && cbRead > 0) {}
    InterlockedExchange(&g_lStop, 1);
    return 0;
}

/* Formats bytes as spaced hex for the log. */
static std::string HexString(const unsigned char *pbData, size_t cbData)
{
    std::string str;
    char szByte[4];

    for (size_t i = 0; i < cbData; i++) {
        snprintf(szByte, sizeof(szByte), i == 0 ? "%02x" : " %02x", pbData[i]);
        str += szByte;
    }
    return str;
}

/* Queues bytes for the host (none: the release of a held arm request), to go
 * out dwDelayMs from now, after anything already due by then. */
static void ScheduleSend(DWORD dwDelayMs, const std::vector<unsigned char> &bytes)
{
    SCHEDULED_SEND send = {GetTickCount64() + dwDelayMs, bytes};
    std::vector<SCHEDULED_SEND>::iterator at = g_Scheduled.begin();

    while (at != g_Scheduled.end() && at->qwDue <= send.qwDue)
        at++;
    g_Scheduled.insert(at, send);
}

/* Queues a reply pair, optionally after a stray byte, optionally twice. */
static void SchedulePair(DWORD dwDelayMs, unsigned char bFirst, BOOL bStray, BOOL bTwice)
{
    std::vector<unsigned char> bytes;

    if (bStray)
        bytes.push_back(STRAY_BYTE);
    for (int i = 0; i < (bTwice ? 2 : 1); i++) {
        bytes.push_back(bFirst);
        bytes.push_back(0x00);
    }
    ScheduleSend(dwDelayMs, bytes);
}

/* Formats a host record as one line of the simulator's log (no newline):
 * "open", "close", "write N", "ioctl 0x1b0028 in=4 out=0 status=0x0", or
 * "settings baud=... ri=... rm=... rc=... wm=... wc=..." (the port's settings
 * and time-outs after each change). */
static std::string FormatRecord(const SIM_RECORD &rec)
{
    char szLine[256];

    switch (rec.dwKind) {
    case SIMREC_OPEN:
        return "open";
    case SIMREC_CLOSE:
        return "close";
    case SIMREC_WRITE:
        snprintf(szLine, sizeof(szLine), "write %u", (unsigned)rec.data.size());
        return szLine;
    case SIMREC_IOCTL:
        if (rec.data.size() >= sizeof(SIM_IOCTL)) {
            SIM_IOCTL io;
            memcpy(&io, &rec.data[0], sizeof(io));
            snprintf(szLine, sizeof(szLine), "ioctl 0x%x in=%u out=%u status=0x%x", (unsigned)io.code,
                     (unsigned)io.inLength, (unsigned)io.outLength, (unsigned)io.status);
            return szLine;
        }
        break;
    case SIMREC_SETTINGS:
        if (rec.data.size() >= sizeof(SIM_SETTINGS)) {
            SIM_SETTINGS s;
            memcpy(&s, &rec.data[0], sizeof(s));
            snprintf(szLine, sizeof(szLine),
                     "settings baud=%u data=%u parity=%u stop=%u dtr=%u rts=%u handshake=0x%x flow=0x%x "
                     "ri=%u rm=%u rc=%u wm=%u wc=%u",
                     (unsigned)s.baud, (unsigned)s.dataBits, (unsigned)s.parity, (unsigned)s.stopBits,
                     (unsigned)s.dtr, (unsigned)s.rts, (unsigned)s.controlHandShake, (unsigned)s.flowReplace,
                     (unsigned)s.readIntervalTimeout, (unsigned)s.readTotalMultiplier, (unsigned)s.readTotalConstant,
                     (unsigned)s.writeTotalMultiplier, (unsigned)s.writeTotalConstant);
            return szLine;
        }
        break;
    default:
        break;
    }
    snprintf(szLine, sizeof(szLine), "record kind=%u length=%u", (unsigned)rec.dwKind, (unsigned)rec.data.size());
    return szLine;
}

/* Sends a burst to the host, logged once as its first piece goes: whole, or
 * with --split in pieces of N bytes MS apart, the first one byte short (with
 * N = 1, a byte at a time), so that a reply's last byte travels with the next
 * reply's first, as a USB stack may cut a device's bytes. */
static void SendBurst(const std::vector<unsigned char> &burst)
{
    size_t cbPiece = g_Options.dwSplitBytes > 1 ? g_Options.dwSplitBytes - 1 : g_Options.dwSplitBytes;

    for (size_t at = 0; at < burst.size(); at += cbPiece, cbPiece = g_Options.dwSplitBytes) {
        if (cbPiece == 0 || cbPiece > burst.size() - at)
            cbPiece = burst.size() - at;
        if (at > 0)
            Sleep(g_Options.dwSplitMs);
        if (!SimSendToHost(g_hCtl, &burst[at], (DWORD)cbPiece)) {
            LogLine("send %s lost (error %lu)", HexString(&burst[at], burst.size() - at).c_str(), GetLastError());
            return;
        }
        if (at == 0)
            LogLine("send %s", HexString(&burst[0], burst.size()).c_str());
    }
}

/* Sends every scheduled send whose time has come.  Sends due together go out
 * as one burst, as a USB device delivers them: the host's reader may find a
 * second pair right behind the first. */
static void RunDueSends(void)
{
    ULONGLONG qwNow = GetTickCount64();
    std::vector<unsigned char> burst;

    while (!g_Scheduled.empty() && g_Scheduled[0].qwDue <= qwNow) {
        SCHEDULED_SEND send = g_Scheduled[0];
        g_Scheduled.erase(g_Scheduled.begin());
        if (!send.bytes.empty()) {
            burst.insert(burst.end(), send.bytes.begin(), send.bytes.end());
        } else if (SimRelease(g_hCtl)) {
            LogLine("release arm");
        } else {
            LogLine("release arm failed (error %lu)", GetLastError());
        }
    }
    if (!burst.empty())
        SendBurst(burst);
}

/* Milliseconds until the next scheduled send (INFINITE if none). */
static DWORD MsToNextSend(void)
{
    ULONGLONG qwNow = GetTickCount64();

    if (g_Scheduled.empty())
        return INFINITE;
    return g_Scheduled[0].qwDue <= qwNow ? 0 : (DWORD)(g_Scheduled[0].qwDue - qwNow);
}

/* Queues the --garbage bytes given for this block (0: ahead of the ready
 * reply). */
static void ScheduleGarbage(DWORD dwBlock)
{
    for (const auto &garbage : g_Options.garbage)
        if (garbage.first == dwBlock)
            ScheduleSend(0, garbage.second);
}

/* Answers the connect byte as --ready says. */
static void AnswerConnect(void)
{
    ScheduleGarbage(0);
    if (g_Options.readyMode != READY_NONE)
        SchedulePair(g_Options.readyMode == READY_LATE ? g_Options.dwReadyLateMs : 0, READY_BYTE,
                     g_Options.readyMode == READY_SKEW, FALSE);
}

/* TRUE when the list holds the number. */
static BOOL Listed(const std::vector<DWORD> &list, DWORD dwNumber)
{
    return std::find(list.begin(), list.end(), dwNumber) != list.end();
}

/* Schedules the next block request, dwBaseMs from now plus the --next-delay
 * and --gap pauses, unless every wanted block was asked for. */
static void RequestNextBlock(DWORD dwBaseMs)
{
    DWORD dwNumber = g_Session.dwRequestsSent + 1;
    DWORD dwDelay = dwBaseMs + g_Options.dwNextDelayMs;

    if (dwNumber > g_Session.dwBlocksWanted)
        return;
    for (const auto &gap : g_Options.gaps)
        if (gap.first == dwNumber)
            dwDelay += gap.second;
    g_Session.dwRequestsSent = dwNumber;
    SchedulePair(dwDelay, REQUEST_BYTE, FALSE, Listed(g_Options.dupRequests, dwNumber));
}

/* The length word arrived: ROM size, then the first block request. */
static void OnLength(void)
{
    DWORD dwBase = 0;

    g_Session.bLengthKnown = TRUE;
    g_Session.dwBlocksWanted = g_Session.dwLength / BLOCK_SIZE;
    LogLine("length %lu blocks=%lu", (unsigned long)g_Session.dwLength, (unsigned long)g_Session.dwBlocksWanted);
    if (g_Options.dwRomMiB != 0) {
        SchedulePair(0, (unsigned char)g_Options.dwRomMiB, FALSE, g_Options.bRomTwice);
        dwBase = g_Options.dwRomGapMs;
    }
    RequestNextBlock(dwBase);
}

/* Block number dwBlock (1-based) fully arrived. */
static void OnBlockComplete(DWORD dwBlock)
{
    g_Session.dwBlocksReceived = dwBlock;
    LogLine("block %lu", (unsigned long)dwBlock);
    ScheduleGarbage(dwBlock);
    if (Listed(g_Options.repeatReady, dwBlock))
        SchedulePair(0, READY_BYTE, FALSE, FALSE);
    RequestNextBlock(0);
}

/* TRUE once the session received every block it asked for. */
static BOOL SessionComplete(const SIM_SESSION &session)
{
    return session.bLengthKnown && session.dwBlocksReceived >= session.dwBlocksWanted;
}

/* Pulls the plug for --unplug-after and ends the run. */
static void UnplugNow(void)
{
    g_Scheduled.clear();
    if (SimPlug(g_hCtl, FALSE))
        LogLine("unplug");
    else
        LogLine("unplug failed (error %lu)", GetLastError());
    g_bDone = TRUE; /* no later record is looked at */
}

/* Feeds the bytes of one host write through the handheld's side of the
 * protocol. */
static void OnHostBytes(const unsigned char *pbData, size_t cbData)
{
    size_t i = 0;

    /* A lone connect byte before the length word is a new connect attempt. */
    if (g_Session.bConnected && !g_Session.bLengthKnown && g_Session.cbLengthSeen == 0 &&
        cbData == 1 && pbData[0] == CONNECT_BYTE) {
        LogLine("connect");
        AnswerConnect();
        return;
    }
    for (; i < cbData && !g_Session.bLengthKnown; i++) {
        if (!g_Session.bConnected) {
            if (pbData[i] == CONNECT_BYTE) {
                g_Session.bConnected = TRUE;
                LogLine("connect");
                AnswerConnect();
            }
            continue;
        }
        g_Session.dwLength |= (DWORD)pbData[i] << (8 * g_Session.cbLengthSeen);
        if (++g_Session.cbLengthSeen == 4)
            OnLength();
    }
    if (i < cbData) {
        ULONGLONG qwBefore = g_Session.qwDataBytes;
        g_Session.qwDataBytes += cbData - i;
        for (ULONGLONG qwBlock = qwBefore / BLOCK_SIZE + 1; qwBlock <= g_Session.qwDataBytes / BLOCK_SIZE; qwBlock++)
            OnBlockComplete((DWORD)qwBlock);
    }
    if (g_Session.bLengthKnown && g_Options.bUnplugAfterSet && g_Session.qwDataBytes >= g_Options.qwUnplugAfter)
        UnplugNow();
    if (g_Session.bLengthKnown && g_Options.bStallSet && !g_bStalled &&
        g_Session.qwDataBytes >= g_Options.qwStallAfter) {
        g_bStalled = TRUE;
        g_qwStallEnd = GetTickCount64() + g_Options.dwStallMs;
        LogLine("stall %lu", (unsigned long)g_Options.dwStallMs);
    }
}

/* Handles one host record. */
static void OnRecord(const SIM_RECORD &rec)
{
    SIM_IOCTL ioctl;

    LogLine("%s", FormatRecord(rec).c_str());
    switch (rec.dwKind) {
    case SIMREC_OPEN:
        if (g_Session.bConnected)
            g_LastConnected = g_Session;
        memset(&g_Session, 0, sizeof(g_Session));
        g_Scheduled.clear();
        break;
    case SIMREC_CLOSE:
        g_Scheduled.clear();
        if (SessionComplete(g_Session))
            g_bDone = TRUE;
        break;
    case SIMREC_WRITE:
        if (!rec.data.empty()) {
            if (g_pData != NULL) {
                fwrite(&rec.data[0], 1, rec.data.size(), g_pData);
                fflush(g_pData);
            }
            OnHostBytes(&rec.data[0], rec.data.size());
        }
        break;
    case SIMREC_IOCTL:
        if (rec.data.size() < sizeof(ioctl))
            break;
        memcpy(&ioctl, &rec.data[0], sizeof(ioctl));
        /* --arm-delay: the held arm takes effect after the delay. */
        if (ioctl.code == ARM_REQUEST && ioctl.status == STATUS_PENDING_CODE)
            ScheduleSend(g_Options.dwArmDelayMs, std::vector<unsigned char>());
        break;
    }
}

/* Puts the driver in a known state: plug pulled, faults cleared, requests not
 * slowed, records of earlier runs thrown away. */
static void ResetDriver(void)
{
    std::vector<SIM_RECORD> records;

    SimPlug(g_hCtl, FALSE);
    SimSlow(g_hCtl, 0);
    for (DWORD dwRequest = SIMREQ_ARM; dwRequest <= SIMREQ_LAST; dwRequest++)
        SimFault(g_hCtl, dwRequest, 0, 0);
    while (SimReadRecords(g_hCtl, 0, &records) > 0)
        records.clear();
}

/* Applies the --fault, --arm-delay and --slow faults; FALSE (after a message)
 * when the driver refuses one. */
static BOOL InjectFaults(void)
{
    std::vector<SIM_FAULT> faults = g_Options.faults;

    if (g_Options.dwArmDelayMs != 0)
        faults.push_back({SIMREQ_ARM_HOLD, 0, 1});
    for (const SIM_FAULT &fault : faults) {
        if (!SimFault(g_hCtl, fault.request, fault.skip, fault.count)) {
            fprintf(stderr, "qlsim: fault %u refused (error %lu)\n", (unsigned)fault.request, GetLastError());
            return FALSE;
        }
    }
    if (g_Options.dwSlowMs != 0 && !SimSlow(g_hCtl, g_Options.dwSlowMs)) {
        fprintf(stderr, "qlsim: slow requests refused (error %lu)\n", GetLastError());
        return FALSE;
    }
    return TRUE;
}

/* Serves the host until the run is over, the deadline passes or it is told
 * to stop.  A deaf or stalled handheld reads nothing, and the driver
 * completes a host write only once its record is read: the host's write
 * waits, for ever or for the stall. */
static void Serve(void)
{
    ULONGLONG qwDeadline = GetTickCount64() + g_Options.dwExitAfterMs;
    std::vector<SIM_RECORD> records;

    while (!g_bDone && g_lStop == 0) {
        ULONGLONG qwNow = GetTickCount64();
        ULONGLONG qwWait = std::min<ULONGLONG>(POLL_MS, MsToNextSend());

        if (qwNow >= qwDeadline) {
            LogLine("timeout");
            return;
        }
        if (g_qwStallEnd != 0 && qwNow >= g_qwStallEnd) {
            LogLine("resume");
            g_qwStallEnd = 0;
        }
        qwWait = std::min(qwWait, qwDeadline - qwNow);
        if (g_Options.bDeaf || g_qwStallEnd != 0) {
            Sleep((DWORD)(g_qwStallEnd != 0 ? std::min(qwWait, g_qwStallEnd - qwNow) : qwWait));
        } else {
            records.clear();
            if (SimReadRecords(g_hCtl, (DWORD)qwWait, &records) < 0) {
                fprintf(stderr, "qlsim: reading host records failed (error %lu)\n", GetLastError());
                return;
            }
            for (size_t i = 0; i < records.size() && !g_bDone; i++)
                OnRecord(records[i]);
        }
        if (!g_bDone)
            RunDueSends();
    }
}

/* Entry point: see the comment at the top. */
int main(int argc, char **argv)
{
    HANDLE hStdin = GetStdHandle(STD_INPUT_HANDLE);

    if (!ParseSimOptions(argc, argv, &g_Options))
        return 2;
    const struct {
        FILE **ppFile;
        const std::string &strPath;
    } OUTPUTS[] = {{&g_pLog, g_Options.strLogFile}, {&g_pData, g_Options.strDataFile}};
    for (const auto &output : OUTPUTS) {
        if (!output.strPath.empty() && (*output.ppFile = fopen(output.strPath.c_str(), "wb")) == NULL) {
            fprintf(stderr, "qlsim: cannot write %s\n", output.strPath.c_str());
            return 2;
        }
    }
    g_hCtl = SimOpenControl();
    if (g_hCtl == NULL) {
        fprintf(stderr, "qlsim: cannot open %s (error %lu): is the qlusbsh driver running?\n",
                SIM_CTL_DOS_NAME, GetLastError());
        return 1;
    }
    ResetDriver();
    if (!InjectFaults()) {
        SimClose(g_hCtl);
        return 1;
    }
    SetConsoleCtrlHandler(CtrlHandler, TRUE);
    if (hStdin != NULL && hStdin != INVALID_HANDLE_VALUE && GetFileType(hStdin) == FILE_TYPE_PIPE) {
        HANDLE hThread = CreateThread(NULL, 0, StdinWatch, hStdin, 0, NULL);
        if (hThread != NULL)
            CloseHandle(hThread);
    }
    if (!g_Options.bAbsent) {
        if (!SimPlug(g_hCtl, TRUE)) {
            fprintf(stderr, "qlsim: plugging in failed (error %lu)\n", GetLastError());
            SimClose(g_hCtl);
            return 1;
        }
        LogLine("plug");
    }
    printf("ready\n");
    fflush(stdout);

    Serve();

    const SIM_SESSION &result = g_Session.bConnected || !g_LastConnected.bConnected ? g_Session : g_LastConnected;
    char szResult[160];
    snprintf(szResult, sizeof(szResult), "result connect=%d length=%lu blocks=%lu bytes=%llu complete=%d",
             result.bConnected ? 1 : 0, (unsigned long)result.dwLength,
             (unsigned long)result.dwBlocksReceived, (unsigned long long)result.qwDataBytes,
             SessionComplete(result) ? 1 : 0);
    LogLine("%s", szResult);
    printf("%s\n", szResult);
    fflush(stdout);
    ResetDriver();
    SimClose(g_hCtl);
    if (g_pLog != NULL)
        fclose(g_pLog);
    if (g_pData != NULL)
        fclose(g_pData);
    return 0;
}
