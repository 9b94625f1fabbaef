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
 * when its standard input is a pipe that gets closed.
 */
#include "simclient.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
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

/* Longest wait for host records before checking timers and the stop flag. */
static const DWORD POLL_MS = 50;

/* How the handheld answers the connect byte. */
enum ReadyMode { READY_NOW, READY_NONE, READY_LATE, READY_SKEW };

/* Command-line options. */
struct SIM_OPTIONS {
    BOOL bAbsent;                       /* --absent */
    ReadyMode readyMode;                /* --ready */
    DWORD dwReadyLateMs;                /* --ready late:MS */
    DWORD dwRomMiB;                     /* --rom, 0 if none */
    DWORD dwRomGapMs;                   /* --rom-gap */
    DWORD dwNextDelayMs;                /* --next-delay */
    std::vector<std::pair<DWORD, DWORD> > gaps;                        /* --gap K:MS */
    DWORD dwStallAfter;                 /* --stall-after, 0 if none */
    ULONGLONG qwUnplugAfter;            /* --unplug-after, 0 if none */
    BOOL bUnplugAfterSet;
    std::vector<std::pair<DWORD, std::vector<unsigned char> > > garbage; /* --garbage */
    BOOL bDup;                          /* --dup */
    std::vector<DWORD> repeatReady;     /* --repeat-ready K */
    std::vector<SIM_FAULT> faults;      /* --fault */
    std::string strLogFile;             /* --log */
    std::string strDataFile;            /* --data */
    DWORD dwExitAfterMs;                /* --exit-after */
};

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

/* A send to the host that waits for its time. */
struct SCHEDULED_SEND {
    ULONGLONG qwDue;                    /* GetTickCount64 time */
    std::vector<unsigned char> bytes;
};

/* Options in force. */
static SIM_OPTIONS g_Options;

/* The driver's control device. */
static HSIMCTL g_hCtl;

/* --log and --data files, NULL when not asked for. */
static FILE *g_pLog;
static FILE *g_pData;

/* Set by ctrl-c or by the closing of a piped standard input. */
static volatile LONG g_lStop;

/* Sends waiting for their time, in due order. */
static std::vector<SCHEDULED_SEND> g_Scheduled;

/* The current session, and the last earlier one that saw the connect byte. */
static SIM_SESSION g_Session;
static SIM_SESSION g_LastConnected;

/* Last settings and timeouts lines written to the log. */
static std::string g_strLastSettings;
static std::string g_strLastTimeouts;

/* The plug was pulled by --unplug-after. */
static BOOL g_bUnplugged;

/* The run is over (transfer complete and port closed, or plug pulled). */
static BOOL g_bDone;

/* Writes one line to the log file, if any. */
static void LogLine(const char *pszFormat, ...)
{
    va_list args;

    if (g_pLog == NULL)
        return;
    va_start(args, pszFormat);
    vfprintf(g_pLog, pszFormat, args);
    va_end(args);
    fputc('\n', g_pLog);
    fflush(g_pLog);
}

/* Prints the command line summary. */
static void PrintUsage(void)
{
    fprintf(stderr,
            "usage: qlsim [options]\n"
            "  --absent                 do not plug the handheld in\n"
            "  --ready none|late:MS|skew  how to answer the connect byte (default: at once)\n"
            "  --rom 32|24|16|8         send the ROM-size pair after the length word\n"
            "  --rom-gap MS             pause after the ROM-size pair (default 100)\n"
            "  --next-delay MS          pause before every block request\n"
            "  --gap K:MS               extra pause before the K-th block request\n"
            "  --stall-after K          request K blocks, then go silent\n"
            "  --unplug-after BYTES     pull the plug once BYTES image bytes arrived\n"
            "  --garbage K:HEX          send these bytes after the K-th block\n"
            "  --dup                    send every reply pair twice\n"
            "  --repeat-ready K         send 05 00 again after the K-th block\n"
            "  --fault REQ:SKIP:COUNT   REQ arm|wait|cycle|write|read|short, COUNT n|all\n"
            "  --log FILE               event log, one line per event\n"
            "  --data FILE              every byte the host wrote\n"
            "  --exit-after MS          give up after MS (default 120000)\n");
}

/* Parses an unsigned decimal number; FALSE if it is not one. */
static BOOL ParseNumber(const char *psz, ULONGLONG *pqwValue)
{
    char *pszEnd = NULL;
    unsigned long long qw;

    if (psz == NULL || *psz < '0' || *psz > '9')
        return FALSE;
    qw = strtoull(psz, &pszEnd, 10);
    if (*pszEnd != '\0')
        return FALSE;
    *pqwValue = qw;
    return TRUE;
}

/* Parses a 32-bit unsigned decimal number. */
static BOOL ParseDword(const char *psz, DWORD *pdwValue)
{
    ULONGLONG qw = 0;

    if (!ParseNumber(psz, &qw) || qw > 0xFFFFFFFFull)
        return FALSE;
    *pdwValue = (DWORD)qw;
    return TRUE;
}

/* Splits "A:B" at the first colon. */
static BOOL SplitColon(const char *psz, std::string *pstrLeft, std::string *pstrRight)
{
    const char *pszColon = strchr(psz, ':');

    if (pszColon == NULL)
        return FALSE;
    pstrLeft->assign(psz, (size_t)(pszColon - psz));
    pstrRight->assign(pszColon + 1);
    return TRUE;
}

/* Parses "K:MS" style pairs of numbers. */
static BOOL ParseNumberPair(const char *psz, DWORD *pdwLeft, DWORD *pdwRight)
{
    std::string strLeft, strRight;

    return SplitColon(psz, &strLeft, &strRight) && ParseDword(strLeft.c_str(), pdwLeft) &&
           ParseDword(strRight.c_str(), pdwRight);
}

/* Parses a string of hex digit pairs. */
static BOOL ParseHex(const std::string &strHex, std::vector<unsigned char> *pBytes)
{
    if (strHex.empty() || strHex.size() % 2 != 0)
        return FALSE;
    for (size_t i = 0; i < strHex.size(); i += 2) {
        char szByte[3] = {strHex[i], strHex[i + 1], '\0'};
        char *pszEnd = NULL;
        unsigned long dw = strtoul(szByte, &pszEnd, 16);
        if (*pszEnd != '\0' || szByte[0] == '-' || szByte[0] == '+' || szByte[0] == ' ')
            return FALSE;
        pBytes->push_back((unsigned char)dw);
    }
    return TRUE;
}

/* Parses "REQ:SKIP:COUNT" for --fault. */
static BOOL ParseFault(const char *psz, SIM_FAULT *pFault)
{
    static const struct {
        const char *pszName;
        DWORD dwRequest;
    } REQUESTS[] = {{"arm", SIMREQ_ARM},     {"wait", SIMREQ_WAIT}, {"cycle", SIMREQ_CYCLE_END},
                    {"write", SIMREQ_WRITE}, {"read", SIMREQ_READ}, {"short", SIMREQ_SHORT_WRITE}};
    std::string strName, strRest, strSkip, strCount;
    size_t i;

    if (!SplitColon(psz, &strName, &strRest) || !SplitColon(strRest.c_str(), &strSkip, &strCount))
        return FALSE;
    pFault->request = 0;
    for (i = 0; i < sizeof(REQUESTS) / sizeof(REQUESTS[0]); i++) {
        if (strName == REQUESTS[i].pszName)
            pFault->request = REQUESTS[i].dwRequest;
    }
    if (pFault->request == 0)
        return FALSE;
    DWORD dwSkip = 0, dwCount = 0;
    if (!ParseDword(strSkip.c_str(), &dwSkip))
        return FALSE;
    if (strCount == "all")
        dwCount = 0xFFFFFFFFu;
    else if (!ParseDword(strCount.c_str(), &dwCount))
        return FALSE;
    pFault->skip = dwSkip;
    pFault->count = dwCount;
    return TRUE;
}

/* Parses the command line into g_Options; FALSE (after a message) if wrong. */
static BOOL ParseOptions(int argc, char **argv)
{
    g_Options.bAbsent = FALSE;
    g_Options.readyMode = READY_NOW;
    g_Options.dwReadyLateMs = 0;
    g_Options.dwRomMiB = 0;
    g_Options.dwRomGapMs = 100;
    g_Options.dwNextDelayMs = 0;
    g_Options.dwStallAfter = 0;
    g_Options.qwUnplugAfter = 0;
    g_Options.bUnplugAfterSet = FALSE;
    g_Options.bDup = FALSE;
    g_Options.dwExitAfterMs = 120000;

    for (int i = 1; i < argc; i++) {
        std::string strOpt = argv[i];
        const char *pszArg = i + 1 < argc ? argv[i + 1] : NULL;
        BOOL bOk = TRUE;

        if (strOpt == "--absent") {
            g_Options.bAbsent = TRUE;
            continue;
        }
        if (strOpt == "--dup") {
            g_Options.bDup = TRUE;
            continue;
        }
        if (strOpt == "--help" || strOpt == "-h") {
            PrintUsage();
            exit(0);
        }
        if (pszArg == NULL) {
            fprintf(stderr, "qlsim: %s needs a value\n", strOpt.c_str());
            return FALSE;
        }
        i++;
        if (strOpt == "--ready") {
            std::string strMode = pszArg, strLeft, strRight;
            if (strMode == "none")
                g_Options.readyMode = READY_NONE;
            else if (strMode == "skew")
                g_Options.readyMode = READY_SKEW;
            else if (SplitColon(pszArg, &strLeft, &strRight) && strLeft == "late" &&
                     ParseDword(strRight.c_str(), &g_Options.dwReadyLateMs))
                g_Options.readyMode = READY_LATE;
            else
                bOk = FALSE;
        } else if (strOpt == "--rom") {
            bOk = ParseDword(pszArg, &g_Options.dwRomMiB) &&
                  (g_Options.dwRomMiB == 32 || g_Options.dwRomMiB == 24 ||
                   g_Options.dwRomMiB == 16 || g_Options.dwRomMiB == 8);
        } else if (strOpt == "--rom-gap") {
            bOk = ParseDword(pszArg, &g_Options.dwRomGapMs);
        } else if (strOpt == "--next-delay") {
            bOk = ParseDword(pszArg, &g_Options.dwNextDelayMs);
        } else if (strOpt == "--gap") {
            DWORD dwBlock = 0, dwMs = 0;
            bOk = ParseNumberPair(pszArg, &dwBlock, &dwMs) && dwBlock > 0;
            if (bOk)
                g_Options.gaps.push_back(std::make_pair(dwBlock, dwMs));
        } else if (strOpt == "--stall-after") {
            bOk = ParseDword(pszArg, &g_Options.dwStallAfter);
            /* --stall-after 0: asks for nothing at all. */
            if (bOk && g_Options.dwStallAfter == 0)
                g_Options.dwStallAfter = 0xFFFFFFFFu;
        } else if (strOpt == "--unplug-after") {
            bOk = ParseNumber(pszArg, &g_Options.qwUnplugAfter);
            g_Options.bUnplugAfterSet = bOk;
        } else if (strOpt == "--garbage") {
            std::string strBlock, strHex;
            DWORD dwBlock = 0;
            std::vector<unsigned char> bytes;
            bOk = SplitColon(pszArg, &strBlock, &strHex) && ParseDword(strBlock.c_str(), &dwBlock) &&
                  dwBlock > 0 && ParseHex(strHex, &bytes);
            if (bOk)
                g_Options.garbage.push_back(std::make_pair(dwBlock, bytes));
        } else if (strOpt == "--repeat-ready") {
            DWORD dwBlock = 0;
            bOk = ParseDword(pszArg, &dwBlock) && dwBlock > 0;
            if (bOk)
                g_Options.repeatReady.push_back(dwBlock);
        } else if (strOpt == "--fault") {
            SIM_FAULT fault;
            bOk = ParseFault(pszArg, &fault);
            if (bOk)
                g_Options.faults.push_back(fault);
        } else if (strOpt == "--log") {
            g_Options.strLogFile = pszArg;
        } else if (strOpt == "--data") {
            g_Options.strDataFile = pszArg;
        } else if (strOpt == "--exit-after") {
            bOk = ParseDword(pszArg, &g_Options.dwExitAfterMs);
        } else {
            fprintf(stderr, "qlsim: unknown option %s\n", strOpt.c_str());
            PrintUsage();
            return FALSE;
        }
        if (!bOk) {
            fprintf(stderr, "qlsim: bad value '%s' for %s\n", pszArg, strOpt.c_str());
            return FALSE;
        }
    }
    return TRUE;
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

    while (ReadFile((HANDLE)pvStdin, abBuffer, sizeof(abBuffer), &cbRead, NULL) && cbRead > 0) {
    }
    InterlockedExchange(&g_lStop, 1);
    return 0;
}

/* Formats bytes as spaced hex for the log. */
static std::string HexString(const std::vector<unsigned char> &bytes)
{
    std::string str;
    char szByte[4];

    for (size_t i = 0; i < bytes.size(); i++) {
        snprintf(szByte, sizeof(szByte), i == 0 ? "%02x" : " %02x", bytes[i]);
        str += szByte;
    }
    return str;
}

/* Queues bytes for the host, to go out dwDelayMs from now (after anything
 * already due by then). */
static void ScheduleSend(DWORD dwDelayMs, const std::vector<unsigned char> &bytes)
{
    SCHEDULED_SEND send;
    size_t i = 0;

    send.qwDue = GetTickCount64() + dwDelayMs;
    send.bytes = bytes;
    while (i < g_Scheduled.size() && g_Scheduled[i].qwDue <= send.qwDue)
        i++;
    g_Scheduled.insert(g_Scheduled.begin() + (ptrdiff_t)i, send);
}

/* Queues a reply pair (twice with --dup), optionally after a stray byte. */
static void SchedulePair(DWORD dwDelayMs, unsigned char bFirst, BOOL bStray)
{
    std::vector<unsigned char> bytes;

    if (bStray)
        bytes.push_back(STRAY_BYTE);
    bytes.push_back(bFirst);
    bytes.push_back(0x00);
    if (g_Options.bDup) {
        bytes.push_back(bFirst);
        bytes.push_back(0x00);
    }
    ScheduleSend(dwDelayMs, bytes);
}

/* Sends every scheduled send whose time has come. */
static void RunDueSends(void)
{
    ULONGLONG qwNow = GetTickCount64();

    while (!g_Scheduled.empty() && g_Scheduled[0].qwDue <= qwNow) {
        SCHEDULED_SEND send = g_Scheduled[0];
        g_Scheduled.erase(g_Scheduled.begin());
        if (SimSendToHost(g_hCtl, &send.bytes[0], (DWORD)send.bytes.size()))
            LogLine("send %s", HexString(send.bytes).c_str());
        else
            LogLine("send %s lost (error %lu)", HexString(send.bytes).c_str(), GetLastError());
    }
}

/* Milliseconds until the next scheduled send (INFINITE if none). */
static DWORD MsToNextSend(void)
{
    ULONGLONG qwNow = GetTickCount64();

    if (g_Scheduled.empty())
        return INFINITE;
    if (g_Scheduled[0].qwDue <= qwNow)
        return 0;
    return (DWORD)(g_Scheduled[0].qwDue - qwNow);
}

/* Answers the connect byte as --ready says. */
static void AnswerConnect(void)
{
    switch (g_Options.readyMode) {
    case READY_NOW:
        SchedulePair(0, READY_BYTE, FALSE);
        break;
    case READY_LATE:
        SchedulePair(g_Options.dwReadyLateMs, READY_BYTE, FALSE);
        break;
    case READY_SKEW:
        SchedulePair(0, READY_BYTE, TRUE);
        break;
    case READY_NONE:
        break;
    }
}

/* Schedules the next block request, dwBaseMs from now plus the --next-delay
 * and --gap pauses, unless every wanted block was asked for or the handheld
 * stalls. */
static void RequestNextBlock(DWORD dwBaseMs)
{
    DWORD dwNumber = g_Session.dwRequestsSent + 1;
    DWORD dwDelay = dwBaseMs + g_Options.dwNextDelayMs;

    if (dwNumber > g_Session.dwBlocksWanted)
        return;
    if (g_Options.dwStallAfter != 0 && dwNumber > g_Options.dwStallAfter)
        return;
    for (size_t i = 0; i < g_Options.gaps.size(); i++) {
        if (g_Options.gaps[i].first == dwNumber)
            dwDelay += g_Options.gaps[i].second;
    }
    g_Session.dwRequestsSent = dwNumber;
    SchedulePair(dwDelay, REQUEST_BYTE, FALSE);
}

/* The length word arrived: ROM size, then the first block request. */
static void OnLength(void)
{
    DWORD dwBase = 0;

    g_Session.bLengthKnown = TRUE;
    g_Session.dwBlocksWanted = g_Session.dwLength / BLOCK_SIZE;
    LogLine("length %lu blocks=%lu", (unsigned long)g_Session.dwLength,
            (unsigned long)g_Session.dwBlocksWanted);
    if (g_Options.dwRomMiB != 0) {
        SchedulePair(0, (unsigned char)g_Options.dwRomMiB, FALSE);
        dwBase = g_Options.dwRomGapMs;
    }
    RequestNextBlock(dwBase);
}

/* Block number dwBlock (1-based) fully arrived. */
static void OnBlockComplete(DWORD dwBlock)
{
    g_Session.dwBlocksReceived = dwBlock;
    LogLine("block %lu", (unsigned long)dwBlock);
    for (size_t i = 0; i < g_Options.garbage.size(); i++) {
        if (g_Options.garbage[i].first == dwBlock)
            ScheduleSend(0, g_Options.garbage[i].second);
    }
    for (size_t i = 0; i < g_Options.repeatReady.size(); i++) {
        if (g_Options.repeatReady[i] == dwBlock)
            SchedulePair(0, READY_BYTE, FALSE);
    }
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
    g_bUnplugged = TRUE;
    g_bDone = TRUE;
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
        for (ULONGLONG qwBlock = qwBefore / BLOCK_SIZE + 1;
             qwBlock <= g_Session.qwDataBytes / BLOCK_SIZE; qwBlock++)
            OnBlockComplete((DWORD)qwBlock);
    }
    if (g_Session.bLengthKnown && g_Options.bUnplugAfterSet &&
        g_Session.qwDataBytes >= g_Options.qwUnplugAfter)
        UnplugNow();
}

/* Logs a SETTINGS record as a settings line and/or a timeouts line, each
 * only when it differs from the last one logged. */
static void OnSettings(const SIM_RECORD &rec)
{
    SIM_SETTINGS settings;
    std::string strSettings, strTimeouts;

    if (rec.data.size() < sizeof(settings))
        return;
    memcpy(&settings, &rec.data[0], sizeof(settings));
    strSettings = SimFormatSettings(settings);
    strTimeouts = SimFormatTimeouts(settings);
    if (strSettings != g_strLastSettings)
        LogLine("%s", strSettings.c_str());
    if (strTimeouts != g_strLastTimeouts)
        LogLine("%s", strTimeouts.c_str());
    g_strLastSettings = strSettings;
    g_strLastTimeouts = strTimeouts;
}

/* Handles one host record. */
static void OnRecord(const SIM_RECORD &rec)
{
    switch (rec.dwKind) {
    case SIMREC_OPEN:
        LogLine("open");
        if (g_Session.bConnected)
            g_LastConnected = g_Session;
        memset(&g_Session, 0, sizeof(g_Session));
        g_Scheduled.clear();
        g_strLastSettings.clear();
        g_strLastTimeouts = "timeouts ri=0 rm=0 rc=0 wm=0 wc=0";
        break;
    case SIMREC_CLOSE:
        LogLine("close");
        g_Scheduled.clear();
        if (SessionComplete(g_Session))
            g_bDone = TRUE;
        break;
    case SIMREC_WRITE:
        LogLine("%s", SimFormatRecord(rec).c_str());
        if (!rec.data.empty()) {
            if (g_pData != NULL) {
                fwrite(&rec.data[0], 1, rec.data.size(), g_pData);
                fflush(g_pData);
            }
            if (!g_bUnplugged)
                OnHostBytes(&rec.data[0], rec.data.size());
        }
        break;
    case SIMREC_SETTINGS:
        OnSettings(rec);
        break;
    default:
        LogLine("%s", SimFormatRecord(rec).c_str());
        break;
    }
}

/* Puts the driver in a known state: plug pulled, faults cleared, records of
 * earlier runs thrown away. */
static void ResetDriver(void)
{
    std::vector<SIM_RECORD> records;

    SimPlug(g_hCtl, FALSE);
    for (DWORD dwRequest = SIMREQ_ARM; dwRequest <= SIMREQ_SHORT_WRITE; dwRequest++)
        SimFault(g_hCtl, dwRequest, 0, 0);
    while (SimReadRecords(g_hCtl, 0, &records) > 0)
        records.clear();
}

/* Entry point: see the comment at the top. */
int main(int argc, char **argv)
{
    HANDLE hStdin = GetStdHandle(STD_INPUT_HANDLE);
    std::vector<SIM_RECORD> records;
    ULONGLONG qwDeadline;
    SIM_SESSION result;

    if (!ParseOptions(argc, argv))
        return 2;
    if (!g_Options.strLogFile.empty() && (g_pLog = fopen(g_Options.strLogFile.c_str(), "wb")) == NULL) {
        fprintf(stderr, "qlsim: cannot write %s\n", g_Options.strLogFile.c_str());
        return 2;
    }
    if (!g_Options.strDataFile.empty() &&
        (g_pData = fopen(g_Options.strDataFile.c_str(), "wb")) == NULL) {
        fprintf(stderr, "qlsim: cannot write %s\n", g_Options.strDataFile.c_str());
        return 2;
    }
    g_hCtl = SimOpenControl();
    if (g_hCtl == NULL) {
        fprintf(stderr, "qlsim: cannot open %s (error %lu): is the qlusbsh driver running?\n",
                SIM_CTL_DOS_NAME, GetLastError());
        return 1;
    }
    ResetDriver();
    for (size_t i = 0; i < g_Options.faults.size(); i++) {
        const SIM_FAULT &fault = g_Options.faults[i];
        if (!SimFault(g_hCtl, fault.request, fault.skip, fault.count)) {
            fprintf(stderr, "qlsim: fault %u refused (error %lu)\n", (unsigned)fault.request,
                    GetLastError());
            SimClose(g_hCtl);
            return 1;
        }
    }
    SetConsoleCtrlHandler(CtrlHandler, TRUE);
    if (hStdin != NULL && hStdin != INVALID_HANDLE_VALUE && GetFileType(hStdin) == FILE_TYPE_PIPE) {
        HANDLE hThread = CreateThread(NULL, 0, StdinWatch, hStdin, 0, NULL);
        if (hThread != NULL)
            CloseHandle(hThread);
    }
    memset(&g_Session, 0, sizeof(g_Session));
    memset(&g_LastConnected, 0, sizeof(g_LastConnected));
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

    qwDeadline = GetTickCount64() + g_Options.dwExitAfterMs;
    while (!g_bDone && g_lStop == 0) {
        ULONGLONG qwNow = GetTickCount64();
        DWORD dwWait = POLL_MS;
        int cRecords;

        if (qwNow >= qwDeadline) {
            LogLine("timeout");
            break;
        }
        if (qwDeadline - qwNow < dwWait)
            dwWait = (DWORD)(qwDeadline - qwNow);
        if (MsToNextSend() < dwWait)
            dwWait = MsToNextSend();
        records.clear();
        cRecords = SimReadRecords(g_hCtl, dwWait, &records);
        if (cRecords < 0) {
            fprintf(stderr, "qlsim: reading host records failed (error %lu)\n", GetLastError());
            break;
        }
        for (size_t i = 0; i < records.size() && !g_bDone; i++)
            OnRecord(records[i]);
        if (!g_bDone)
            RunDueSends();
    }

    result = g_Session.bConnected || !g_LastConnected.bConnected ? g_Session : g_LastConnected;
    LogLine("result connect=%d length=%lu blocks=%lu bytes=%llu complete=%d",
            result.bConnected ? 1 : 0, (unsigned long)result.dwLength,
            (unsigned long)result.dwBlocksReceived, (unsigned long long)result.qwDataBytes,
            SessionComplete(result) ? 1 : 0);
    printf("result connect=%d length=%lu blocks=%lu bytes=%llu complete=%d\n",
           result.bConnected ? 1 : 0, (unsigned long)result.dwLength,
           (unsigned long)result.dwBlocksReceived, (unsigned long long)result.qwDataBytes,
           SessionComplete(result) ? 1 : 0);
    fflush(stdout);
    SimPlug(g_hCtl, FALSE);
    for (DWORD dwRequest = SIMREQ_ARM; dwRequest <= SIMREQ_SHORT_WRITE; dwRequest++)
        SimFault(g_hCtl, dwRequest, 0, 0);
    SimClose(g_hCtl);
    if (g_pLog != NULL)
        fclose(g_pLog);
    if (g_pData != NULL)
        fclose(g_pData);
    return 0;
}
