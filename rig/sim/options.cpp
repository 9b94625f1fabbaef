/*
 * The simulated handheld's command line.
 */
#include "options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void PrintSimUsage(void)
{
    fprintf(stderr,
            "usage: qlsim [options]\n"
            "  --absent                 do not plug the handheld in\n"
            "  --deaf                   plugged in, but take none of the host's bytes\n"
            "  --ready none|late:MS|skew  how to answer the connect byte (default: at once)\n"
            "  --arm-delay MS           the driver holds the reader's first arm request for MS\n"
            "  --rom 32|24|16|8         send the ROM-size pair after the length word\n"
            "  --rom-gap MS             pause after the ROM-size pair (default 100; 0: the pair\n"
            "                           and the first block request go out in one burst)\n"
            "  --rom-twice              send the ROM-size pair twice\n"
            "  --next-delay MS          pause before every block request\n"
            "  --gap K:MS               extra pause before the K-th block request\n"
            "  --unplug-after BYTES     pull the plug once BYTES image bytes arrived\n"
            "  --garbage K:HEX          send these bytes after the K-th block (0: ahead of\n"
            "                           the ready reply)\n"
            "  --dup K                  send the K-th block request twice, back to back\n"
            "  --repeat-ready K         send 05 00 again after the K-th block\n"
            "  --fault REQ:SKIP:COUNT   let SKIP requests of kind REQ pass, then fail (arm-hold:\n"
            "                           hold) COUNT (a number or all); REQ is one of arm, wait,\n"
            "                           cycle, write, read, short (write half), arm-hold\n"
            "  --log FILE               event log, one line per event, each led by the tick\n"
            "                           count in ms (GetTickCount)\n"
            "  --data FILE              every byte the host wrote\n"
            "  --exit-after MS          give up after MS (default 120000)\n");
}

/* Parses an unsigned decimal number; FALSE if it is not one. */
static BOOL ParseNumber(const char *psz, ULONGLONG *pqwValue)
{
    char *pszEnd = NULL;

    if (psz == NULL || *psz < '0' || *psz > '9')
        return FALSE;
    unsigned long long qw = strtoull(psz, &pszEnd, 10);
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

/* Parses a string of hex digit pairs. */
static BOOL ParseHex(const std::string &strHex, std::vector<unsigned char> *pBytes)
{
    if (strHex.empty() || strHex.size() % 2 != 0)
        return FALSE;
    for (size_t i = 0; i < strHex.size(); i += 2) {
        char szByte[3] = {strHex[i], strHex[i + 1], '\0'};
        char *pszEnd = NULL;
        unsigned long dw = strtoul(szByte, &pszEnd, 16);
        if (*pszEnd != '\0' || strchr("+- ", szByte[0]) != NULL)
            return FALSE;
        pBytes->push_back((unsigned char)dw);
    }
    return TRUE;
}

/* Parses "REQ:SKIP:COUNT" for --fault. */
static BOOL ParseFault(const char *psz, SIM_FAULT *pFault)
{
    static const char *const NAMES[] = SIM_REQUEST_NAMES;
    std::string strName, strRest, strSkip, strCount;

    if (!SplitColon(psz, &strName, &strRest) || !SplitColon(strRest.c_str(), &strSkip, &strCount))
        return FALSE;
    pFault->request = 0;
    for (DWORD i = SIMREQ_ARM; i <= SIMREQ_LAST; i++) {
        if (strName == NAMES[i])
            pFault->request = i;
    }
    DWORD dwSkip = 0, dwCount = 0xFFFFFFFFu;
    if (pFault->request == 0 || !ParseDword(strSkip.c_str(), &dwSkip))
        return FALSE;
    if (strCount != "all" && !ParseDword(strCount.c_str(), &dwCount))
        return FALSE;
    pFault->skip = dwSkip;
    pFault->count = dwCount;
    return TRUE;
}

/* Parses the value of one option that takes a value. */
static BOOL ParseValue(const std::string &strOpt, const char *pszArg, SIM_OPTIONS *pOptions)
{
    std::string strLeft, strRight;
    DWORD dwLeft = 0, dwRight = 0;

    if (strOpt == "--ready") {
        std::string strMode = pszArg;
        if (strMode == "none")
            pOptions->readyMode = READY_NONE;
        else if (strMode == "skew")
            pOptions->readyMode = READY_SKEW;
        else if (SplitColon(pszArg, &strLeft, &strRight) && strLeft == "late" &&
                 ParseDword(strRight.c_str(), &pOptions->dwReadyLateMs))
            pOptions->readyMode = READY_LATE;
        else
            return FALSE;
        return TRUE;
    }
    if (strOpt == "--arm-delay")
        return ParseDword(pszArg, &pOptions->dwArmDelayMs);
    if (strOpt == "--rom")
        return ParseDword(pszArg, &pOptions->dwRomMiB) &&
               (pOptions->dwRomMiB == 32 || pOptions->dwRomMiB == 24 || pOptions->dwRomMiB == 16 ||
                pOptions->dwRomMiB == 8);
    if (strOpt == "--rom-gap")
        return ParseDword(pszArg, &pOptions->dwRomGapMs);
    if (strOpt == "--next-delay")
        return ParseDword(pszArg, &pOptions->dwNextDelayMs);
    if (strOpt == "--gap") {
        if (!SplitColon(pszArg, &strLeft, &strRight) || !ParseDword(strLeft.c_str(), &dwLeft) ||
            !ParseDword(strRight.c_str(), &dwRight) || dwLeft == 0)
            return FALSE;
        pOptions->gaps.push_back(std::make_pair(dwLeft, dwRight));
        return TRUE;
    }
    if (strOpt == "--unplug-after")
        return pOptions->bUnplugAfterSet = ParseNumber(pszArg, &pOptions->qwUnplugAfter);
    if (strOpt == "--garbage") {
        std::vector<unsigned char> bytes;
        if (!SplitColon(pszArg, &strLeft, &strRight) || !ParseDword(strLeft.c_str(), &dwLeft) ||
            !ParseHex(strRight, &bytes))
            return FALSE;
        pOptions->garbage.push_back(std::make_pair(dwLeft, bytes));
        return TRUE;
    }
    if (strOpt == "--dup" || strOpt == "--repeat-ready") {
        if (!ParseDword(pszArg, &dwLeft) || dwLeft == 0)
            return FALSE;
        (strOpt == "--dup" ? pOptions->dupRequests : pOptions->repeatReady).push_back(dwLeft);
        return TRUE;
    }
    if (strOpt == "--fault") {
        SIM_FAULT fault;
        if (!ParseFault(pszArg, &fault))
            return FALSE;
        pOptions->faults.push_back(fault);
        return TRUE;
    }
    if (strOpt == "--log") {
        pOptions->strLogFile = pszArg;
        return TRUE;
    }
    if (strOpt == "--data") {
        pOptions->strDataFile = pszArg;
        return TRUE;
    }
    if (strOpt == "--exit-after")
        return ParseDword(pszArg, &pOptions->dwExitAfterMs);
    fprintf(stderr, "qlsim: unknown option %s\n", strOpt.c_str());
    PrintSimUsage();
    return FALSE;
}

BOOL ParseSimOptions(int argc, char **argv, SIM_OPTIONS *pOptions)
{
    for (int i = 1; i < argc; i++) {
        std::string strOpt = argv[i];

        if (strOpt == "--absent" || strOpt == "--deaf" || strOpt == "--rom-twice") {
            (strOpt == "--absent" ? pOptions->bAbsent
                                  : strOpt == "--deaf" ? pOptions->bDeaf : pOptions->bRomTwice) = TRUE;
            continue;
        }
        if (strOpt == "--help" || strOpt == "-h") {
            PrintSimUsage();
            exit(0);
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "qlsim: %s needs a value\n", strOpt.c_str());
            return FALSE;
        }
        const char *pszArg = argv[++i];
        if (!ParseValue(strOpt, pszArg, pOptions)) {
            fprintf(stderr, "qlsim: bad value '%s' for %s\n", pszArg, strOpt.c_str());
            return FALSE;
        }
    }
    return TRUE;
}
