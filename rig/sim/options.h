/*
 * The simulated handheld's command line (the README's table says what each option does).
 */
#ifndef QL_SIM_OPTIONS_H
#define QL_SIM_OPTIONS_H

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "simctl.h"

/* How the handheld answers the connect byte. */
enum ReadyMode { READY_NOW, READY_NONE, READY_LATE, READY_SKEW };

struct SIM_OPTIONS {
    BOOL bAbsent = FALSE;                 /* --absent */
    BOOL bDeaf = FALSE;                   /* --deaf */
    ReadyMode readyMode = READY_NOW;      /* --ready */
    DWORD dwReadyLateMs = 0;              /* --ready late:MS */
    DWORD dwArmDelayMs = 0;               /* --arm-delay, 0 if none */
    DWORD dwRomMiB = 0;                   /* --rom, 0 if none */
    DWORD dwRomGapMs = 100;               /* --rom-gap */
    BOOL bRomTwice = FALSE;               /* --rom-twice */
    DWORD dwNextDelayMs = 0;              /* --next-delay */
    std::vector<std::pair<DWORD, DWORD> > gaps;                         /* --gap K:MS */
    BOOL bUnplugAfterSet = FALSE;         /* --unplug-after */
    ULONGLONG qwUnplugAfter = 0;
    DWORD dwSplitBytes = 0;               /* --split N:MS, 0 if none */
    DWORD dwSplitMs = 0;
    DWORD dwSlowMs = 0;                   /* --slow, 0 if none */
    BOOL bStallSet = FALSE;               /* --stall-after BYTES:MS */
    ULONGLONG qwStallAfter = 0;
    DWORD dwStallMs = 0;
    std::vector<std::pair<DWORD, std::vector<unsigned char> > > garbage; /* --garbage K:HEX */
    std::vector<DWORD> dupRequests;       /* --dup K */
    std::vector<DWORD> repeatReady;       /* --repeat-ready K */
    std::vector<SIM_FAULT> faults;        /* --fault */
    std::string strLogFile;               /* --log */
    std::string strDataFile;              /* --data */
    DWORD dwExitAfterMs = 120000;         /* --exit-after */
};

/* Parses the command line; FALSE (after a message on stderr) if it is wrong. */
BOOL ParseSimOptions(int argc, char **argv, SIM_OPTIONS *pOptions);

/* Prints the options on stderr. */
void PrintSimUsage(void);

#endif
