/*
 * The simulated handheld's command line.
 */
#include "options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void PrintSimUsage(void)
{
    fprintf(stderr, "usage: qlsim [--absent] [--deaf] [--ready none|late:MS|skew] [--arm-delay MS]\n"
                    "  [--rom 32|24|16|8] [--rom-gap MS] [--rom-twice] [--next-delay MS] [--gap K:MS]...\n"
                    "  [--unplug-after BYTES] [--garbage K:HEX]... [--dup K]... [--repeat-ready K]...\n"
                    "  [--fault arm|wait|cycle|write|read|short:SKIP:COUNT|all]... [--split N:MS]\n"
                    "  [--slow MS] [--stall-after BYTES:MS] [--log FILE] [--data FILE] [--exit-after MS]\n"
                    "  --split: bursts in pieces of N bytes MS apart, the first N - 1; --slow: every device-\n"
                    "  control request MS late; --stall-after: read nothing for MS once BYTES came\n"
                    "  (README.md, \"The simulated handheld\", says what every option does)\n");
}

/* Parses an unsigned decimal number that fits qwMax; FALSE if it is not one. */
static BOOL ParseNumber(const char *psz, ULONGLONG qwMax, ULONGLONG *pqwValue)
{
    char *pszEnd = NULL;

    if (*psz < '0' || *psz > '9')
        return FALSE;
    *pqwValue = strtoull(psz, &pszEnd, 10);
    return *pszEnd == '\0' && *pqwValue <= qwMax;
}

/* Parses a 32-bit unsigned decimal number. */
static BOOL ParseDword(const char *psz, DWORD *pdwValue)
{
    ULONGLONG qw = 0;

    if (!ParseNumber(psz, 0xFFFFFFFFull, &qw))
        return FALSE;
    *pdwValue = (DWORD)qw;
    return TRUE;
}

/* Splits "A:B" at the first colon. */
static BOOL SplitColon(const std::string &str, std::string *pstrLeft, std::string *pstrRight)
{
    size_t colon = str.find(':');

    if (colon == std::string::npos)
        return FALSE;
    *pstrLeft = str.substr(0, colon);
    *pstrRight = str.substr(colon + 1);
    return TRUE;
}

/* Parses "K:REST" with a block number K of at least dwMinK. */
static BOOL ParseNumbered(const std::string &str, DWORD dwMinK, DWORD *pdwK, std::string *pstrRest)
{
    std::string strK;

    return SplitColon(str, &strK, pstrRest) && ParseDword(strK.c_str(), pdwK) && *pdwK >= dwMinK;
}

/* Parses a string of hex digit pairs. */
static BOOL ParseHex(const std::string &strHex, std::vector<unsigned char> *pBytes)
{
    if (strHex.empty() || strHex.size() % 2 != 0 ||
        strHex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return FALSE;
    for (size_t i = 0; i < strHex.size(); i += 2)
        pBytes->push_back((unsigned char)strtoul(strHex.substr(i, 2).c_str(), NULL, 16));
    return TRUE;
}

/* Parses "REQ:SKIP:COUNT" for --fault. */
static BOOL ParseFault(const std::string &str, SIM_FAULT *pFault)
{
    static const char *const NAMES[] = SIM_REQUEST_NAMES;
    std::string strName, strRest, strSkip, strCount;

    if (!SplitColon(str, &strName, &strRest) || !SplitColon(strRest, &strSkip, &strCount))
        return FALSE;
    pFault->request = 0;
    for (DWORD i = SIMREQ_ARM; i < sizeof(NAMES) / sizeof(NAMES[0]); i++) {
        if (strName == NAMES[i])
            pFault->request = i;
    }
    DWORD dwSkip = 0, dwCount = 0xFFFFFFFFu;
    if (pFault->request == 0 || !ParseDword(strSkip.c_str(), &dwSkip) ||
        (strCount != "all" && !ParseDword(strCount.c_str(), &dwCount)))
        return FALSE;
    pFault->skip = dwSkip;
    pFault->count = dwCount;
    return TRUE;
}

/* Parses the value of one option that takes a value. */
static BOOL ParseValue(const std::string &strOpt, const std::string &strArg, SIM_OPTIONS *pOptions)
{
    const struct {
        const char *pszName;
        DWORD *pdwValue;
    } NUMBERS[] = {{"--arm-delay", &pOptions->dwArmDelayMs},   {"--rom-gap", &pOptions->dwRomGapMs},
                   {"--next-delay", &pOptions->dwNextDelayMs}, {"--exit-after", &pOptions->dwExitAfterMs},
                   {"--slow", &pOptions->dwSlowMs}};
    std::string strLeft, strRight;
    DWORD dwK = 0, dwMs = 0;

    for (size_t i = 0; i < sizeof(NUMBERS) / sizeof(NUMBERS[0]); i++) {
        if (strOpt == NUMBERS[i].pszName)
            return ParseDword(strArg.c_str(), NUMBERS[i].pdwValue);
    }
    if (strOpt == "--ready") {
        pOptions->readyMode = strArg == "none" ? READY_NONE : strArg == "skew" ? READY_SKEW : READY_LATE;
        return pOptions->readyMode != READY_LATE ||
               (SplitColon(strArg, &strLeft, &strRight) && strLeft == "late" &&
                ParseDword(strRight.c_str(), &pOptions->dwReadyLateMs));
    }
    if (strOpt == "--rom")
        return ParseDword(strArg.c_str(), &pOptions->dwRomMiB) &&
               (pOptions->dwRomMiB == 32 || pOptions->dwRomMiB == 24 || pOptions->dwRomMiB == 16 ||
                pOptions->dwRomMiB == 8);
    if (strOpt == "--gap") {
        if (!ParseNumbered(strArg, 1, &dwK, &strRight) || !ParseDword(strRight.c_str(), &dwMs))
            return FALSE;
        pOptions->gaps.push_back(std::make_pair(dwK, dwMs));
        return TRUE;
    }
    if (strOpt == "--unplug-after")
        return pOptions->bUnplugAfterSet = ParseNumber(strArg.c_str(), ~0ull, &pOptions->qwUnplugAfter);
    if (strOpt == "--split")
        return ParseNumbered(strArg, 1, &pOptions->dwSplitBytes, &strRight) &&
               ParseDword(strRight.c_str(), &pOptions->dwSplitMs) && pOptions->dwSplitMs >= 1;
    if (strOpt == "--stall-after")
        return pOptions->bStallSet = SplitColon(strArg, &strLeft, &strRight) &&
                                     ParseNumber(strLeft.c_str(), ~0ull, &pOptions->qwStallAfter) &&
                                     ParseDword(strRight.c_str(), &pOptions->dwStallMs);
    if (strOpt == "--garbage") {
        pOptions->garbage.push_back(std::make_pair(0, std::vector<unsigned char>()));
        return ParseNumbered(strArg, 0, &pOptions->garbage.back().first, &strRight) &&
               ParseHex(strRight, &pOptions->garbage.back().second);
    }
    if (strOpt == "--dup" || strOpt == "--repeat-ready") {
        if (!ParseDword(strArg.c_str(), &dwK) || dwK == 0)
            return FALSE;
        (strOpt == "--dup" ? pOptions->dupRequests : pOptions->repeatReady).push_back(dwK);
        return TRUE;
    }
    if (strOpt == "--fault") {
        pOptions->faults.push_back(SIM_FAULT());
        return ParseFault(strArg, &pOptions->faults.back());
    }
    if (strOpt == "--log" || strOpt == "--data") {
        (strOpt == "--log" ? pOptions->strLogFile : pOptions->strDataFile) = strArg;
        return TRUE;
    }
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
