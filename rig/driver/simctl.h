/*
 * Control interface of the stand-in USB serial driver, shared by the driver
 * (kernel side) and the simulated handheld (user side): plain C with
 * fixed-width types, so both sides compile it.  On the control device
 * (\\.\QlUsbShCtl; qlusbsh.c describes both devices) ReadFile gives the
 * host's records (below), WriteFile sends bytes to the host, and the IOCTLs
 * below plug, inject faults, report state, release held arms and slow the
 * port's requests down.
 */
#ifndef QL_SIMCTL_H
#define QL_SIMCTL_H

#include <stdint.h>

#define SIM_CTL_DOS_NAME "\\\\.\\QlUsbShCtl"

/* CTL_CODE(FILE_DEVICE_UNKNOWN (0x22), 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define SIMCTL_CODE(n) ((0x22u << 16) | ((0x800u + (n)) << 2))

/* in: uint32_t present (1 plugged in, 0 pulled out).  Pulling out fails every
 * pending port request and every later one on handles opened before. */
#define IOCTL_SIM_PLUG SIMCTL_CODE(1)

/* in: SIM_FAULT.  Makes the driver fail (or hold) a chosen kind of port
 * request. */
#define IOCTL_SIM_FAULT SIMCTL_CODE(2)

/* out: SIM_STATE. */
#define IOCTL_SIM_STATE SIMCTL_CODE(3)

/* Lets every arm request held by SIMREQ_ARM_HOLD take effect and complete. */
#define IOCTL_SIM_RELEASE SIMCTL_CODE(4)

/* in: uint32_t milliseconds that every later device-control request on the
 * port waits before it is served (0: none). */
#define IOCTL_SIM_SLOW SIMCTL_CODE(5)

/* Kinds of port request a fault can target. */
enum SimRequest {
    SIMREQ_ARM = 1,         /* 0x1B0028 with a 4-byte input */
    SIMREQ_WAIT = 2,        /* 0x1B002C with a 4-byte output */
    SIMREQ_CYCLE_END = 3,   /* 0x1B0030 with a 4-byte input */
    SIMREQ_WRITE = 4,       /* IRP_MJ_WRITE: fails with no byte written */
    SIMREQ_READ = 5,        /* IRP_MJ_READ */
    SIMREQ_SHORT_WRITE = 6, /* IRP_MJ_WRITE: completes with half the bytes */
    SIMREQ_ARM_HOLD = 7,    /* 0x1B0028: pends, and takes effect only when
                               released (IOCTL_SIM_RELEASE): a reader thread
                               that arms late */
    SIMREQ_LAST = SIMREQ_ARM_HOLD
};

/* The kinds' names on the simulator's command line, indexed by SimRequest;
 * the arm hold is asked for by --arm-delay, which also ends it. */
#define SIM_REQUEST_NAMES {"", "arm", "wait", "cycle", "write", "read", "short"}

typedef struct SIM_FAULT {
    uint32_t request; /* SimRequest */
    uint32_t skip;    /* let this many such requests succeed first */
    uint32_t count;   /* then fail this many (0xFFFFFFFF: all later ones) */
} SIM_FAULT;

/* What the driver saw of the host since it was loaded; the last two must stay
 * 0 whatever the host does. */
typedef struct SIM_STATE {
    uint32_t opens;         /* opens of the port that became its owner */
    uint32_t lateRequests;  /* requests on a handle after its close, or after
                               its process opened the port anew */
    uint32_t doubleCloses;  /* closes of a handle that was closed already */
} SIM_STATE;

/* Largest host write the port accepts; a control read buffer of
 * SIM_MAX_WRITE + sizeof(SIMREC_HEADER) bytes always holds the next record. */
#define SIM_MAX_WRITE 262144u

/* Records the simulator reads: what the host did to the port, in order. */
enum SimRecordKind {
    SIMREC_OPEN = 1,      /* payload none */
    SIMREC_CLOSE = 2,     /* cleanup of the host's handle; payload none */
    SIMREC_WRITE = 3,     /* payload: the bytes of one host write, exactly */
    SIMREC_SETTINGS = 4,  /* payload: SIM_SETTINGS, after any change */
    SIMREC_IOCTL = 5      /* payload: SIM_IOCTL, every device request */
};

typedef struct SIMREC_HEADER {
    uint32_t kind;
    uint32_t length; /* payload bytes that follow */
} SIMREC_HEADER;

/* The port's settings, each group laid out as the serial request that reads
 * and writes it (SERIAL_BAUD_RATE, SERIAL_LINE_CONTROL, SERIAL_HANDFLOW,
 * SERIAL_CHARS, SERIAL_TIMEOUTS, the wait mask). */
typedef struct SIM_SETTINGS {
    uint32_t baud;
    uint8_t stopBits, parity, dataBits, pad;
    uint32_t controlHandShake, flowReplace, xonLimit, xoffLimit;
    uint8_t eofChar, errorChar, breakChar, eventChar, xonChar, xoffChar, pad2[2];
    uint32_t readIntervalTimeout, readTotalMultiplier, readTotalConstant;
    uint32_t writeTotalMultiplier, writeTotalConstant;
    uint32_t waitMask;
    uint32_t dtr, rts;                       /* line states */
} SIM_SETTINGS;

typedef struct SIM_IOCTL {
    uint32_t code;
    uint32_t inLength;
    uint32_t outLength;
    uint32_t input;  /* first 4 bytes of the input, 0 if none */
    int32_t status;  /* NTSTATUS it completed with, 0x103 if it pended */
} SIM_IOCTL;

#endif
