/*
 * Client side of the stand-in USB serial driver's control device
 * (\\.\QlUsbShCtl): plugs the simulated handheld in and out, injects faults,
 * reads what the host did to the port and sends bytes to the host.
 * Used by the simulated handheld (qlsim.exe) and by tests.
 */
#ifndef QL_SIMCLIENT_H
#define QL_SIMCLIENT_H

#include <windows.h>

#include <vector>

#include "simctl.h"

/* One host record read from the control device. */
struct SIM_RECORD {
    DWORD dwKind;                      /* SimRecordKind */
    std::vector<unsigned char> data;   /* payload, exactly as the driver sent it */
};

/* An open control device with its record read in flight. */
struct SIM_CONTROL;

/* Handle to an open control device (NULL: none). */
typedef SIM_CONTROL *HSIMCTL;

/* Opens the control device; NULL (with GetLastError set) if the driver is
 * not running. */
HSIMCTL SimOpenControl(void);

/* Plugs the handheld in (bPresent TRUE) or pulls it out. */
BOOL SimPlug(HSIMCTL hCtl, BOOL bPresent);

/* Makes the driver let dwSkip requests of kind dwRequest (SimRequest)
 * succeed, then fail the next dwCount (0xFFFFFFFF: all); dwCount 0 clears. */
BOOL SimFault(HSIMCTL hCtl, DWORD dwRequest, DWORD dwSkip, DWORD dwCount);

/* Reads the driver's state. */
BOOL SimState(HSIMCTL hCtl, SIM_STATE *pState);

/* Lets every arm request held by SIMREQ_ARM_HOLD take effect and complete. */
BOOL SimRelease(HSIMCTL hCtl);

/* Makes every later device-control request on the port wait dwMs before it
 * is served (0: none). */
BOOL SimSlow(HSIMCTL hCtl, DWORD dwMs);

/* Sends bytes from the handheld to the host; FALSE unless all were taken
 * (nobody holds the port, or the driver's buffer is full). */
BOOL SimSendToHost(HSIMCTL hCtl, const void *pvData, DWORD cbData);

/* Waits up to dwTimeoutMs (0 and INFINITE allowed) for host records and
 * appends them to *pRecords.  Returns the number appended (0 on timeout),
 * -1 on error.  A read that times out stays in flight for the next call
 * instead of being cancelled: under Wine 8 a cancel that crosses the read's
 * completion reaches the driver after the IRP is gone. */
int SimReadRecords(HSIMCTL hCtl, DWORD dwTimeoutMs, std::vector<SIM_RECORD> *pRecords);

/* Cancels the read in flight and closes the control device. */
void SimClose(HSIMCTL hCtl);

#endif
