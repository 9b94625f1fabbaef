/*
 * qlusbsh.sys: stand-in for the desktop USB serial driver of the handheld.
 * Loaded by Wine's winedevice; a simulated handheld (qlsim.exe) sits behind
 * it on the control device.
 *
 * Port device \Device\QlUsbShPort, DOS name \DosDevices\WCEUSBSH001:
 *   The DOS name exists only while the handheld is plugged in, so an absent
 *   handheld fails CreateFile (ERROR_FILE_NOT_FOUND).  One handle at a time
 *   owns the port (see "Close and reopen"); another process's handle is
 *   refused, all its requests failing with STATUS_ACCESS_DENIED, unless both
 *   it and the owner share reading and writing, as the I/O manager honours
 *   share modes: such a sharer's requests act as the owner's.  The owner's:
 *   - serial IOCTLs complete at once and keep their settings for the life of
 *     the handle; 0x1B0028 with a 4-byte input arms the event mask (without,
 *     it is IOCTL_SERIAL_CLR_DTR) and 0x1B0030 with one ends a reader's cycle
 *     (without, IOCTL_SERIAL_SET_RTS), both at once;
 *   - 0x1B002C with a 4-byte output (without, IOCTL_SERIAL_RESET_DEVICE) and
 *     IOCTL_SERIAL_WAIT_ON_MASK wait for the event: EV_RXCHAR once handheld
 *     bytes have arrived since the mask was armed; as on a serial port,
 *     bytes that arrived before the arm raise no event;
 *   - WriteFile (up to SIM_MAX_WRITE bytes) pends until the simulator has
 *     read the bytes through the control device, then completes in full;
 *   - ReadFile with ReadIntervalTimeout MAXDWORD and both totals 0 returns at
 *     once with what has arrived; with any other time-outs it pends until all
 *     its bytes have come (the totals are not timed: the tool never sets
 *     them), or the handle is closed or the plug pulled.
 *   Pulling the plug fails the owner's pending requests and every later one
 *   on that handle with STATUS_DEVICE_REMOVED and removes the DOS name.
 *   IOCTL_SIM_SLOW makes every IRP_MJ_DEVICE_CONTROL on the port wait in the
 *   dispatch routine first (winedevice serves nothing else meanwhile).
 *
 * Control device \Device\QlUsbShCtl, DOS name \DosDevices\QlUsbShCtl (always):
 *   ReadFile pends until host records are queued, then returns as many whole
 *   records as fit (STATUS_BUFFER_TOO_SMALL if not the next one); handing a
 *   WRITE record over completes the host's write.  WriteFile sends bytes to
 *   the host (the count taken: 0 when no host owns the port).  The IOCTLs
 *   are in simctl.h.
 *
 * Close and reopen under Wine 8:
 *   Wine 8 never sends IRP_MJ_CLEANUP, and CloseHandle returns before the
 *   driver sees IRP_MJ_CLOSE (pending IRPs are left for the driver to finish
 *   there); CreateFile succeeds before the driver sees IRP_MJ_CREATE, so an
 *   open can't be refused.  Hiding the DOS name while the port is held made
 *   146 of 200 back-to-back reopens fail, and the close may even come after
 *   the reopen's CREATE (winedevice holds the new file while it runs a
 *   CREATE, so a close made then is not the last: 4 of 5 runs of open,
 *   close, reopen).  So the name stays while the port is held and ownership
 *   goes by process (PsGetCurrentProcessId in IRP_MJ_CREATE is the opener's):
 *   a reopen by the owner's process becomes the owner whatever the order;
 *   the old file object is finished then (CLOSE record, pending IRPs
 *   cancelled) and its late close does nothing.  The cost: a program opening
 *   the port twice loses its first handle instead of failing the second
 *   open.  IRP_MJ_CLEANUP is handled like IRP_MJ_CLOSE in case a later Wine
 *   sends it.
 *
 * Locking: one spin lock (g_Lock) guards all state below.  IRPs finished under
 * it go on a done list that Unlock completes once it is free; symbolic links
 * change only outside it.  Queued IRPs carry a cancel routine; whoever clears
 * the cancel routine first completes the IRP.
 */
#include <ntddk.h>
#include <ntddser.h>
#include "simctl.h"

#define QL_POOL_TAG 0x68536c51u /* 'QlSh', on the driver's allocations */

#define RX_CAPACITY 65536u /* handheld-to-host bytes the driver keeps before refusing more */

/* Records other than writes that are kept for the simulator before new ones
 * are dropped (writes are never dropped: their IRPs hold the host). */
#define MAX_RECORDS 65536u

/* Value of FILE_OBJECT.FsContext that marks a port file's part (0: not yet
 * seen by IRP_MJ_CREATE). */
#define PORT_FILE_OWNER ((PVOID)1)   /* owns the port */
#define PORT_FILE_REFUSED ((PVOID)2) /* opened by another process while the port was held */
#define PORT_FILE_STALE ((PVOID)3)   /* owned the port when the plug was pulled, or opened while out */
#define PORT_FILE_CLOSED ((PVOID)4)  /* replaced by a reopen of its process; its close is still to come */
#define PORT_FILE_RELEASED ((PVOID)5) /* its close was seen */
#define PORT_FILE_SHARED ((PVOID)6)   /* opened by another process, both sharing reads and writes */

/* Share bits that let a second opener in beside the owner. */
#define QL_SHARE_RW (FILE_SHARE_READ | FILE_SHARE_WRITE)

#define STATUS_QL_REMOVED STATUS_DEVICE_REMOVED /* a request on a handle whose handheld was pulled out */
#define STATUS_QL_FAULT STATUS_UNSUCCESSFUL    /* a request failed by an injected fault */
#define QL_EV_RXCHAR 0x0001u                   /* the event word a completed wait reports */

/* One queued host record; a WRITE record also holds its pending write IRP. */
typedef struct SIM_ENTRY {
    LIST_ENTRY Link;
    PIRP pWriteIrp;         /* host write completed, with the record's byte count, when this is read; or NULL */
    SIMREC_HEADER Header;
    UCHAR abData[1];        /* Header.length bytes */
} SIM_ENTRY, *PSIM_ENTRY;

/* Guards every global below. */
static KSPIN_LOCK g_Lock;

/* The port device the host opens, the control device the simulator opens. */
static PDEVICE_OBJECT g_pPortDevice, g_pCtlDevice;

/* The handheld is plugged in. */
static BOOLEAN g_bPlugged;

/* The port's DOS name currently exists (changed only by UpdatePortLink). */
static BOOLEAN g_bPortLinked;

/* File object owning the port, or NULL. */
static PFILE_OBJECT g_pOwner;

/* Process that opened the owner's file object, and the share mode it gave. */
static HANDLE g_hOwnerProcess;
static USHORT g_wOwnerShare;

/* What SIM_STATE reports (see simctl.h). */
static SIM_STATE g_State;

/* Settings of the owner's handle, reset at each open. */
static SIM_SETTINGS g_Settings;

/* The event mask is armed, and bytes arrived since it was: the event a wait
 * completes with.  Arming again clears the event. */
static BOOLEAN g_bArmed, g_bEventPending;

/* Handheld-to-host bytes: ring buffer, index of the oldest, count. */
static UCHAR g_abRx[RX_CAPACITY];
static ULONG g_dwRxHead, g_dwRxCount;

/* Pending wait IRPs of the owner, reads waiting for their bytes, and arm
 * IRPs held by SIMREQ_ARM_HOLD (linked through Tail.Overlay.ListEntry). */
static LIST_ENTRY g_WaitQueue, g_ReadQueue, g_HeldArmQueue;

/* Pending control-device reads (linked through Tail.Overlay.ListEntry). */
static LIST_ENTRY g_CtlReadQueue;

/* Host records not yet read by the simulator (SIM_ENTRY.Link). */
static LIST_ENTRY g_RecordQueue;

/* Non-write records queued; more are dropped. */
static ULONG g_dwRecords;

/* Injected faults, indexed by SimRequest; count is what is left to fail. */
static SIM_FAULT g_aFaults[SIMREQ_LAST + 1];

/* IOCTL_SIM_SLOW's delay; read outside the lock: winedevice dispatches one
 * request at a time. */
static ULONG g_dwSlowMs;

/* IRPs finished under g_Lock, IoStatus filled in: Unlock completes them. */
static LIST_ENTRY g_DoneList;

/* Names of the devices and of their DOS links. */
static UNICODE_STRING g_usPortName = RTL_CONSTANT_STRING(L"\\Device\\QlUsbShPort");
static UNICODE_STRING g_usPortLink = RTL_CONSTANT_STRING(L"\\DosDevices\\WCEUSBSH001");
static UNICODE_STRING g_usCtlName = RTL_CONSTANT_STRING(L"\\Device\\QlUsbShCtl");
static UNICODE_STRING g_usCtlLink = RTL_CONSTANT_STRING(L"\\DosDevices\\QlUsbShCtl");

DRIVER_INITIALIZE DriverEntry;

/* ==== Requests: completion, queues and cancel =============================== */

/* Completes an IRP with a status and byte count; returns the status. */
static NTSTATUS CompleteIrp(PIRP pIrp, NTSTATUS status, ULONG_PTR dwInfo)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = dwInfo;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

static KIRQL Lock(VOID)
{
    KIRQL irql;

    KeAcquireSpinLock(&g_Lock, &irql);
    return irql;
}

/* Releases g_Lock, then completes the IRPs finished under it, in order: a
 * completion may call back into the driver (a cancel), which takes the lock. */
static VOID Unlock(KIRQL irql)
{
    LIST_ENTRY done;

    InitializeListHead(&done);
    while (!IsListEmpty(&g_DoneList))
        InsertTailList(&done, RemoveHeadList(&g_DoneList));
    KeReleaseSpinLock(&g_Lock, irql);
    while (!IsListEmpty(&done))
        IoCompleteRequest(CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry), IO_NO_INCREMENT);
}

/* Detaches a queued IRP for completion (lock held).  Returns FALSE when its
 * cancel routine has already started: the IRP is then left to that routine,
 * with its list entry made harmless to remove again. */
static BOOLEAN TakeQueuedIrpLocked(PIRP pIrp)
{
    RemoveEntryList(&pIrp->Tail.Overlay.ListEntry);
    InitializeListHead(&pIrp->Tail.Overlay.ListEntry);
    return IoSetCancelRoutine(pIrp, NULL) != NULL;
}

/* Puts an IRP on the done list with the result it will complete with (lock
 * held); returns the status. */
static NTSTATUS AddDoneLocked(PIRP pIrp, NTSTATUS status, ULONG_PTR dwInfo)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = dwInfo;
    InsertTailList(&g_DoneList, &pIrp->Tail.Overlay.ListEntry);
    return status;
}

/* Marks an IRP pending with a cancel routine, on a queue unless pQueue is
 * NULL (lock held): STATUS_PENDING, or STATUS_CANCELLED if it was cancelled
 * already (the caller completes it). */
static NTSTATUS QueueIrpLocked(PLIST_ENTRY pQueue, PIRP pIrp, PDRIVER_CANCEL pfnCancel)
{
    IoSetCancelRoutine(pIrp, pfnCancel);
    if (pIrp->Cancel && IoSetCancelRoutine(pIrp, NULL) != NULL)
        return STATUS_CANCELLED;
    IoMarkIrpPending(pIrp);
    if (pQueue != NULL)
        InsertTailList(pQueue, &pIrp->Tail.Overlay.ListEntry);
    return STATUS_PENDING;
}

/* Cancel routine of queued waits and control reads. */
static VOID NTAPI CancelQueuedIrp(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    KIRQL irql;

    UNREFERENCED_PARAMETER(pDevice);
    IoReleaseCancelSpinLock(pIrp->CancelIrql);
    irql = Lock();
    RemoveEntryList(&pIrp->Tail.Overlay.ListEntry);
    AddDoneLocked(pIrp, STATUS_CANCELLED, 0);
    Unlock(irql);
}

/* Fails the IRPs of one port file, or of all files when pFile is NULL, that
 * wait on one queue (lock held). */
static VOID FailQueueLocked(PLIST_ENTRY pQueue, PFILE_OBJECT pFile, NTSTATUS status)
{
    PLIST_ENTRY pLink = pQueue->Flink;

    while (pLink != pQueue) {
        PIRP pIrp = CONTAINING_RECORD(pLink, IRP, Tail.Overlay.ListEntry);

        pLink = pLink->Flink;
        if (pFile != NULL && IoGetCurrentIrpStackLocation(pIrp)->FileObject != pFile)
            continue;
        if (TakeQueuedIrpLocked(pIrp))
            AddDoneLocked(pIrp, status, 0);
    }
}

/* ==== Host records: what the simulator reads, and the writes they hold ====== */

/* Allocates a record entry with room for a payload. */
static PSIM_ENTRY AllocEntry(ULONG dwKind, const VOID *pvData, ULONG cbData)
{
    PSIM_ENTRY pEntry = (PSIM_ENTRY)ExAllocatePoolWithTag(NonPagedPool,
        FIELD_OFFSET(SIM_ENTRY, abData) + cbData + 1, QL_POOL_TAG);

    if (pEntry == NULL)
        return NULL;
    pEntry->pWriteIrp = NULL;
    pEntry->Header.kind = dwKind;
    pEntry->Header.length = cbData;
    if (cbData > 0)
        RtlCopyMemory(pEntry->abData, pvData, cbData);
    return pEntry;
}

static VOID FreeEntry(PSIM_ENTRY pEntry)
{
    ExFreePoolWithTag(pEntry, QL_POOL_TAG);
}

/* Detaches a record's write IRP for completion (lock held); FALSE when its
 * cancellation has begun: the IRP and the record are left to its cancel
 * routine. */
static BOOLEAN TakeWriteLocked(PSIM_ENTRY pEntry)
{
    if (IoSetCancelRoutine(pEntry->pWriteIrp, NULL) == NULL)
        return FALSE;
    pEntry->pWriteIrp->Tail.Overlay.DriverContext[0] = NULL;
    return TRUE;
}

/* Hands queued records to pending control reads, as many whole records per
 * read as fit, and gathers the host writes whose bytes were handed over
 * (lock held). */
static VOID FillControlReadsLocked(VOID)
{
    while (!IsListEmpty(&g_CtlReadQueue) && !IsListEmpty(&g_RecordQueue)) {
        PIRP pRead = CONTAINING_RECORD(g_CtlReadQueue.Flink, IRP, Tail.Overlay.ListEntry);
        PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pRead);
        ULONG cbBuffer = pStack->Parameters.Read.Length;
        PUCHAR pbOut = (PUCHAR)pRead->AssociatedIrp.SystemBuffer;
        ULONG cbDone = 0;
        NTSTATUS status = STATUS_SUCCESS;
        PLIST_ENTRY pLink = g_RecordQueue.Flink;

        if (!TakeQueuedIrpLocked(pRead))
            continue;
        while (pLink != &g_RecordQueue) {
            PSIM_ENTRY pEntry = CONTAINING_RECORD(pLink, SIM_ENTRY, Link);
            ULONG cbRecord = sizeof(SIMREC_HEADER) + pEntry->Header.length;

            pLink = pLink->Flink;
            if (cbRecord > cbBuffer - cbDone) {
                if (cbDone == 0)
                    status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            if (pEntry->pWriteIrp != NULL && !TakeWriteLocked(pEntry))
                continue;
            if (pEntry->pWriteIrp != NULL)
                AddDoneLocked(pEntry->pWriteIrp, STATUS_SUCCESS, pEntry->Header.length);
            else
                g_dwRecords--;
            RtlCopyMemory(pbOut + cbDone, &pEntry->Header, sizeof(SIMREC_HEADER));
            RtlCopyMemory(pbOut + cbDone + sizeof(SIMREC_HEADER), pEntry->abData, pEntry->Header.length);
            cbDone += cbRecord;
            RemoveEntryList(&pEntry->Link);
            FreeEntry(pEntry);
        }
        AddDoneLocked(pRead, status, cbDone);
    }
}

/* Queues a host record that carries no IRP, dropping it if too many wait
 * (lock held). */
static VOID PushRecordLocked(PSIM_ENTRY pEntry)
{
    if (pEntry == NULL)
        return;
    if (g_dwRecords >= MAX_RECORDS) {
        FreeEntry(pEntry);
        return;
    }
    g_dwRecords++;
    InsertTailList(&g_RecordQueue, &pEntry->Link);
    FillControlReadsLocked();
}

/* Cancel routine of a host write waiting for the simulator: its bytes are
 * taken back from the record queue. */
static VOID NTAPI CancelWrite(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    KIRQL irql;
    PSIM_ENTRY pEntry;

    UNREFERENCED_PARAMETER(pDevice);
    IoReleaseCancelSpinLock(pIrp->CancelIrql);
    irql = Lock();
    pEntry = (PSIM_ENTRY)pIrp->Tail.Overlay.DriverContext[0];
    pIrp->Tail.Overlay.DriverContext[0] = NULL;
    if (pEntry != NULL)
        RemoveEntryList(&pEntry->Link);
    AddDoneLocked(pIrp, STATUS_CANCELLED, 0);
    Unlock(irql);
    if (pEntry != NULL)
        FreeEntry(pEntry);
}

/* Fails the pending waits, held arms and writes of one port file, or of all
 * files when pFile is NULL (lock held). */
static VOID FailPortIrpsLocked(PFILE_OBJECT pFile, NTSTATUS status)
{
    PLIST_ENTRY pLink;

    FailQueueLocked(&g_WaitQueue, pFile, status);
    FailQueueLocked(&g_ReadQueue, pFile, status);
    FailQueueLocked(&g_HeldArmQueue, pFile, status);
    pLink = g_RecordQueue.Flink;
    while (pLink != &g_RecordQueue) {
        PSIM_ENTRY pEntry = CONTAINING_RECORD(pLink, SIM_ENTRY, Link);
        PIRP pIrp = pEntry->pWriteIrp;

        pLink = pLink->Flink;
        if (pIrp == NULL || (pFile != NULL && IoGetCurrentIrpStackLocation(pIrp)->FileObject != pFile) ||
            !TakeWriteLocked(pEntry))
            continue;
        RemoveEntryList(&pEntry->Link);
        FreeEntry(pEntry);
        AddDoneLocked(pIrp, status, 0);
    }
}

/* ==== The port: its DOS name, its owner, its settings ======================= */

/* Creates or removes the port's DOS name so that it exists exactly while the
 * handheld is plugged in.  Runs at passive level outside the lock; winedevice
 * dispatches one request at a time, so calls never overlap. */
static VOID UpdatePortLink(VOID)
{
    KIRQL irql = Lock();
    BOOLEAN bWant, bHave;

    bWant = g_bPlugged;
    bHave = g_bPortLinked;
    g_bPortLinked = bWant;
    Unlock(irql);

    if (bWant && !bHave)
        IoCreateSymbolicLink(&g_usPortLink, &g_usPortName);
    else if (!bWant && bHave)
        IoDeleteSymbolicLink(&g_usPortLink);
}

/* Puts the port settings back to those of a freshly opened port (lock held). */
static VOID ResetSettingsLocked(VOID)
{
    static const SIM_SETTINGS FRESH = {.baud = 9600, .stopBits = STOP_BIT_1, .parity = NO_PARITY, .dataBits = 8,
                                       .controlHandShake = SERIAL_DTR_CONTROL, .flowReplace = SERIAL_RTS_CONTROL,
                                       .xonLimit = 2048, .xoffLimit = 512, .xonChar = 0x11, .xoffChar = 0x13};

    g_Settings = FRESH;
    g_bArmed = g_bEventPending = FALSE;
    g_dwRxHead = g_dwRxCount = 0;
}

/* Port IRP_MJ_CREATE: the first opener while plugged and free owns the port;
 * a new open by the owner's own process takes the port over (its earlier
 * handle was closed, or is dropped); any other opener is refused. */
static NTSTATUS PortCreate(PIRP pIrp, PFILE_OBJECT pFile, USHORT wShare)
{
    KIRQL irql = Lock();
    NTSTATUS status;
    HANDLE hProcess = PsGetCurrentProcessId();

    if (g_bPlugged && g_pOwner != NULL && hProcess == g_hOwnerProcess) {
        /* The close of the earlier handle may still be on its way. */
        g_pOwner->FsContext = PORT_FILE_CLOSED;
        FailPortIrpsLocked(g_pOwner, STATUS_CANCELLED);
        PushRecordLocked(AllocEntry(SIMREC_CLOSE, NULL, 0));
        g_pOwner = NULL;
    }
    if (g_bPlugged && g_pOwner == NULL) {
        g_pOwner = pFile;
        g_hOwnerProcess = hProcess;
        g_wOwnerShare = wShare;
        pFile->FsContext = PORT_FILE_OWNER;
        g_State.opens++;
        ResetSettingsLocked();
        PushRecordLocked(AllocEntry(SIMREC_OPEN, NULL, 0));
        status = STATUS_SUCCESS;
    } else if (g_bPlugged && (g_wOwnerShare & QL_SHARE_RW) == QL_SHARE_RW && (wShare & QL_SHARE_RW) == QL_SHARE_RW) {
        pFile->FsContext = PORT_FILE_SHARED;
        status = STATUS_SUCCESS;
    } else {
        pFile->FsContext = g_bPlugged ? PORT_FILE_REFUSED : PORT_FILE_STALE;
        status = g_bPlugged ? STATUS_ACCESS_DENIED : STATUS_NO_SUCH_DEVICE;
    }
    AddDoneLocked(pIrp, status, 0);
    Unlock(irql);
    return status;
}

/* Port IRP_MJ_CLEANUP / IRP_MJ_CLOSE: the handle is gone; its pending
 * requests fail and the port becomes free.  A second close of the same file
 * object is counted. */
static NTSTATUS PortRelease(PIRP pIrp, PFILE_OBJECT pFile, BOOLEAN bClose)
{
    KIRQL irql = Lock();

    if (bClose && pFile->FsContext == PORT_FILE_RELEASED)
        g_State.doubleCloses++;
    if (pFile->FsContext == PORT_FILE_OWNER) {
        g_pOwner = NULL;
        FailPortIrpsLocked(pFile, STATUS_CANCELLED);
        PushRecordLocked(AllocEntry(SIMREC_CLOSE, NULL, 0));
    } else if (pFile->FsContext == PORT_FILE_STALE || pFile->FsContext == PORT_FILE_SHARED) {
        FailPortIrpsLocked(pFile, STATUS_CANCELLED);
    }
    /* A cleanup (should a later Wine send one) comes before the close. */
    pFile->FsContext = bClose ? PORT_FILE_RELEASED : PORT_FILE_CLOSED;
    AddDoneLocked(pIrp, STATUS_SUCCESS, 0);
    Unlock(irql);
    return STATUS_SUCCESS;
}

/* Status every request of a port file that does not own the port fails with
 * (lock held); STATUS_SUCCESS for the owner.  A request on a handle that its
 * process closed, or replaced by opening the port anew, is counted. */
static NTSTATUS PortAccessLocked(PFILE_OBJECT pFile)
{
    if ((pFile->FsContext == PORT_FILE_OWNER && pFile == g_pOwner) ||
        (pFile->FsContext == PORT_FILE_SHARED && g_pOwner != NULL))
        return STATUS_SUCCESS;
    if (pFile->FsContext == PORT_FILE_STALE)
        return STATUS_QL_REMOVED;
    if (pFile->FsContext == PORT_FILE_CLOSED || pFile->FsContext == PORT_FILE_RELEASED)
        g_State.lateRequests++;
    return STATUS_ACCESS_DENIED;
}

/* ==== The port's requests: events, serial settings, reads and writes ======== */

/* Decides whether a request of one kind fails by injected fault (lock held). */
static BOOLEAN ConsumeFaultLocked(ULONG dwRequest)
{
    SIM_FAULT *pFault = &g_aFaults[dwRequest];

    if (pFault->count == 0)
        return FALSE;
    if (pFault->skip > 0) {
        pFault->skip--;
        return FALSE;
    }
    if (pFault->count != 0xFFFFFFFFu)
        pFault->count--;
    return TRUE;
}

/* Arms the event mask: from now on arriving bytes raise the event, and any
 * event of earlier bytes is forgotten (lock held). */
static VOID ArmLocked(ULONG dwMask)
{
    g_bArmed = (dwMask & QL_EV_RXCHAR) != 0;
    g_bEventPending = FALSE;
}

/* Completes one pending wait of the owner with the event, if there is one
 * (lock held); the event is then spent. */
static VOID SatisfyWaitsLocked(VOID)
{
    while (g_bEventPending && !IsListEmpty(&g_WaitQueue)) {
        PIRP pIrp = CONTAINING_RECORD(g_WaitQueue.Flink, IRP, Tail.Overlay.ListEntry);

        if (!TakeQueuedIrpLocked(pIrp))
            continue;
        g_bEventPending = FALSE;
        *(ULONG *)pIrp->AssociatedIrp.SystemBuffer = QL_EV_RXCHAR;
        AddDoneLocked(pIrp, STATUS_SUCCESS, sizeof(ULONG));
    }
}

/* The serial settings that a GET request returns and a SET request replaces:
 * each pair moves one group of g_Settings, laid out as the request's record. */
static const struct SERIAL_PAIR {
    ULONG dwGet, dwSet;
    ULONG dwOffset, cbSize;
} g_SerialPairs[] = {
    {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_BAUD_RATE, FIELD_OFFSET(SIM_SETTINGS, baud),
     sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_SET_LINE_CONTROL, FIELD_OFFSET(SIM_SETTINGS, stopBits),
     sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_SET_HANDFLOW, FIELD_OFFSET(SIM_SETTINGS, controlHandShake),
     sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_SET_CHARS, FIELD_OFFSET(SIM_SETTINGS, eofChar), sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_GET_TIMEOUTS, IOCTL_SERIAL_SET_TIMEOUTS, FIELD_OFFSET(SIM_SETTINGS, readIntervalTimeout),
     sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_GET_WAIT_MASK, IOCTL_SERIAL_SET_WAIT_MASK, FIELD_OFFSET(SIM_SETTINGS, waitMask), sizeof(ULONG)},
};
C_ASSERT(sizeof(SERIAL_LINE_CONTROL) == 3 && sizeof(SERIAL_HANDFLOW) == 16);
C_ASSERT(sizeof(SERIAL_CHARS) == 6 && sizeof(SERIAL_TIMEOUTS) == 20);

/* Serves one serial or vendor IOCTL of the owner (lock held).  Returns the
 * status, STATUS_PENDING when the IRP was queued; *pdwInfo gets the output
 * byte count.  The vendor requests share their codes with serial requests
 * and are told apart by their buffers. */
static NTSTATUS PortIoctlLocked(PIRP pIrp, PIO_STACK_LOCATION pStack, ULONG_PTR *pdwInfo)
{
    ULONG dwCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG cbIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG cbOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID pvBuf = pIrp->AssociatedIrp.SystemBuffer;
    ULONG i;

    *pdwInfo = 0;
    for (i = 0; i < sizeof(g_SerialPairs) / sizeof(g_SerialPairs[0]); i++) {
        const struct SERIAL_PAIR *pPair = &g_SerialPairs[i];
        PUCHAR pbField = (PUCHAR)&g_Settings + pPair->dwOffset;

        if (dwCode == pPair->dwGet) {
            if (cbOut < pPair->cbSize)
                return STATUS_BUFFER_TOO_SMALL;
            RtlCopyMemory(pvBuf, pbField, pPair->cbSize);
            *pdwInfo = pPair->cbSize;
            return STATUS_SUCCESS;
        }
        if (dwCode == pPair->dwSet) {
            if (cbIn < pPair->cbSize)
                return STATUS_BUFFER_TOO_SMALL;
            RtlCopyMemory(pbField, pvBuf, pPair->cbSize);
            if (dwCode == IOCTL_SERIAL_SET_WAIT_MASK)
                ArmLocked(g_Settings.waitMask);
            return STATUS_SUCCESS;
        }
    }
    switch (dwCode) {
    case IOCTL_SERIAL_CLR_DTR: /* 0x1B0028: arm event mask when it has input */
        if (cbIn == sizeof(ULONG)) {
            if (ConsumeFaultLocked(SIMREQ_ARM))
                return STATUS_QL_FAULT;
            if (ConsumeFaultLocked(SIMREQ_ARM_HOLD))
                return QueueIrpLocked(&g_HeldArmQueue, pIrp, CancelQueuedIrp);
            ArmLocked(*(const ULONG *)pvBuf);
            return STATUS_SUCCESS;
        }
        g_Settings.dtr = 0;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_RESET_DEVICE: /* 0x1B002C: wait for event with output */
        if (cbOut != sizeof(ULONG))
            return STATUS_SUCCESS;
        /* fall through */
    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (cbOut < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (ConsumeFaultLocked(SIMREQ_WAIT))
            return STATUS_QL_FAULT;
        if (g_bEventPending) {
            g_bEventPending = FALSE;
            *(ULONG *)pvBuf = QL_EV_RXCHAR;
            *pdwInfo = sizeof(ULONG);
            return STATUS_SUCCESS;
        }
        return QueueIrpLocked(&g_WaitQueue, pIrp, CancelQueuedIrp);
    case IOCTL_SERIAL_SET_RTS: /* 0x1B0030: cycle end when it has input */
        if (cbIn == sizeof(ULONG))
            return ConsumeFaultLocked(SIMREQ_CYCLE_END) ? STATUS_QL_FAULT : STATUS_SUCCESS;
        g_Settings.rts = 1;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_DTR:
        g_Settings.dtr = 1;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLR_RTS:
        g_Settings.rts = 0;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        if (cbOut < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        *(ULONG *)pvBuf = SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE;
        *pdwInfo = sizeof(ULONG);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        SERIAL_STATUS *pStatus = (SERIAL_STATUS *)pvBuf;
        if (cbOut < sizeof(SERIAL_STATUS))
            return STATUS_BUFFER_TOO_SMALL;
        RtlZeroMemory(pStatus, sizeof(SERIAL_STATUS));
        pStatus->AmountInInQueue = g_dwRxCount;
        *pdwInfo = sizeof(SERIAL_STATUS);
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_PURGE:
        if (cbIn < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (*(const ULONG *)pvBuf & SERIAL_PURGE_RXCLEAR)
            g_dwRxHead = g_dwRxCount = 0;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

/* Port IRP_MJ_DEVICE_CONTROL: serves the request, then records it (and the
 * settings, if it changed them) for the simulator. */
static NTSTATUS PortIoctl(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    KIRQL irql;
    SIM_IOCTL rec;
    SIM_SETTINGS before;
    PSIM_ENTRY pIoctlEntry, pSettingsEntry;
    ULONG_PTR dwInfo = 0;
    NTSTATUS status;

    if (g_dwSlowMs != 0) {
        LARGE_INTEGER delay;

        delay.QuadPart = -10000LL * (LONGLONG)g_dwSlowMs; /* relative, in 100 ns */
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    /* Both records are allocated up front: no pool calls under the lock. */
    RtlZeroMemory(&rec, sizeof(rec));
    rec.code = pStack->Parameters.DeviceIoControl.IoControlCode;
    rec.inLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
    rec.outLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    if (rec.inLength >= sizeof(ULONG) && pIrp->AssociatedIrp.SystemBuffer != NULL)
        rec.input = *(const ULONG *)pIrp->AssociatedIrp.SystemBuffer;
    pIoctlEntry = AllocEntry(SIMREC_IOCTL, &rec, sizeof(rec));
    pSettingsEntry = AllocEntry(SIMREC_SETTINGS, &g_Settings, sizeof(SIM_SETTINGS));

    irql = Lock();
    status = PortAccessLocked(pStack->FileObject);
    if (NT_SUCCESS(status)) {
        before = g_Settings;
        status = PortIoctlLocked(pIrp, pStack, &dwInfo);
        if (pIoctlEntry != NULL)
            ((SIM_IOCTL *)pIoctlEntry->abData)->status = status;
        PushRecordLocked(pIoctlEntry);
        pIoctlEntry = NULL;
        if (pSettingsEntry != NULL &&
            RtlCompareMemory(&before, &g_Settings, sizeof(SIM_SETTINGS)) != sizeof(SIM_SETTINGS)) {
            RtlCopyMemory(pSettingsEntry->abData, &g_Settings, sizeof(SIM_SETTINGS));
            PushRecordLocked(pSettingsEntry);
            pSettingsEntry = NULL;
        }
    }
    if (status != STATUS_PENDING)
        AddDoneLocked(pIrp, status, dwInfo);
    Unlock(irql);
    if (pIoctlEntry != NULL)
        FreeEntry(pIoctlEntry);
    if (pSettingsEntry != NULL)
        FreeEntry(pSettingsEntry);
    return status;
}

/* Port IRP_MJ_WRITE: queued as a WRITE record; completes when the simulator
 * has read it. */
static NTSTATUS PortWrite(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    KIRQL irql;
    ULONG cbWrite = pStack->Parameters.Write.Length;
    /* Allocated up front: no pool calls under the lock. */
    PSIM_ENTRY pEntry = cbWrite > SIM_MAX_WRITE ? NULL
                                                : AllocEntry(SIMREC_WRITE, pIrp->AssociatedIrp.SystemBuffer, cbWrite);
    NTSTATUS status = cbWrite > SIM_MAX_WRITE ? STATUS_INVALID_PARAMETER
                      : pEntry == NULL        ? STATUS_INSUFFICIENT_RESOURCES
                                              : STATUS_SUCCESS;

    irql = Lock();
    if (NT_SUCCESS(status))
        status = PortAccessLocked(pStack->FileObject);
    if (NT_SUCCESS(status) && ConsumeFaultLocked(SIMREQ_WRITE))
        status = STATUS_QL_FAULT;
    if (NT_SUCCESS(status)) {
        if (ConsumeFaultLocked(SIMREQ_SHORT_WRITE))
            pEntry->Header.length = cbWrite / 2;
        pEntry->pWriteIrp = pIrp;
        pIrp->Tail.Overlay.DriverContext[0] = pEntry; /* the record its cancel routine takes back */
        status = QueueIrpLocked(NULL, pIrp, CancelWrite);
        if (status == STATUS_PENDING) {
            InsertTailList(&g_RecordQueue, &pEntry->Link);
            pEntry = NULL;
            FillControlReadsLocked();
        }
    }
    if (status != STATUS_PENDING)
        AddDoneLocked(pIrp, status, 0);
    Unlock(irql);
    if (pEntry != NULL)
        FreeEntry(pEntry);
    return status;
}

/* Moves up to cbWant arrived handheld bytes into a read's buffer (lock
 * held); returns how many. */
static ULONG TakeRxLocked(PUCHAR pbOut, ULONG cbWant)
{
    ULONG cbDone = 0;

    while (cbDone < cbWant && g_dwRxCount > 0) {
        pbOut[cbDone++] = g_abRx[g_dwRxHead];
        g_dwRxHead = (g_dwRxHead + 1) % RX_CAPACITY;
        g_dwRxCount--;
    }
    return cbDone;
}

/* Completes the reads that wait for their bytes, oldest first, while enough
 * have arrived for the oldest (lock held). */
static VOID SatisfyReadsLocked(VOID)
{
    while (!IsListEmpty(&g_ReadQueue)) {
        PIRP pIrp = CONTAINING_RECORD(g_ReadQueue.Flink, IRP, Tail.Overlay.ListEntry);
        ULONG cbWant = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Read.Length;

        if (g_dwRxCount < cbWant)
            return;
        if (TakeQueuedIrpLocked(pIrp))
            AddDoneLocked(pIrp, STATUS_SUCCESS, TakeRxLocked((PUCHAR)pIrp->AssociatedIrp.SystemBuffer, cbWant));
    }
}

/* Port IRP_MJ_READ: with the time-outs that say "at once" (see the top) it
 * returns whatever has arrived; otherwise it waits for all its bytes. */
static NTSTATUS PortRead(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    KIRQL irql = Lock();
    ULONG cbWant = pStack->Parameters.Read.Length;
    ULONG cbDone = 0;
    NTSTATUS status;
    BOOLEAN bAtOnce;

    status = PortAccessLocked(pStack->FileObject);
    if (NT_SUCCESS(status) && ConsumeFaultLocked(SIMREQ_READ))
        status = STATUS_QL_FAULT;
    bAtOnce = g_Settings.readIntervalTimeout == MAXULONG && g_Settings.readTotalMultiplier == 0 &&
              g_Settings.readTotalConstant == 0;
    if (NT_SUCCESS(status) && !bAtOnce && (g_dwRxCount < cbWant || !IsListEmpty(&g_ReadQueue)))
        status = QueueIrpLocked(&g_ReadQueue, pIrp, CancelQueuedIrp);
    if (NT_SUCCESS(status) && status != STATUS_PENDING)
        cbDone = TakeRxLocked((PUCHAR)pIrp->AssociatedIrp.SystemBuffer, cbWant);
    if (status != STATUS_PENDING)
        AddDoneLocked(pIrp, status, cbDone);
    Unlock(irql);
    return status;
}

/* Port IRP_MJ_QUERY_VOLUME_INFORMATION: describes a serial port, so that
 * GetFileType says FILE_TYPE_CHAR. */
static NTSTATUS PortQueryVolume(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    FILE_FS_DEVICE_INFORMATION *pInfo = (FILE_FS_DEVICE_INFORMATION *)pIrp->AssociatedIrp.SystemBuffer;

    if (pStack->Parameters.QueryVolume.FsInformationClass != FileFsDeviceInformation)
        return CompleteIrp(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (pStack->Parameters.QueryVolume.Length < sizeof(FILE_FS_DEVICE_INFORMATION))
        return CompleteIrp(pIrp, STATUS_BUFFER_TOO_SMALL, 0);
    pInfo->DeviceType = FILE_DEVICE_SERIAL_PORT;
    pInfo->Characteristics = 0;
    return CompleteIrp(pIrp, STATUS_SUCCESS, sizeof(FILE_FS_DEVICE_INFORMATION));
}

/* ==== The control device: the simulated handheld's side ===================== */

/* Control IOCTL_SIM_PLUG: plugs the handheld in or pulls it out (lock held;
 * the caller then updates the port's DOS name). */
static VOID PlugLocked(ULONG dwPresent)
{
    g_bPlugged = dwPresent != 0;
    if (!g_bPlugged) {
        if (g_pOwner != NULL) {
            g_pOwner->FsContext = PORT_FILE_STALE;
            g_pOwner = NULL;
        }
        FailPortIrpsLocked(NULL, STATUS_QL_REMOVED);
        g_dwRxHead = g_dwRxCount = 0;
    }
}

/* Control IOCTL_SIM_RELEASE: every held arm takes effect, in order, and
 * completes (lock held). */
static VOID ReleaseArmsLocked(VOID)
{
    while (!IsListEmpty(&g_HeldArmQueue)) {
        PIRP pIrp = CONTAINING_RECORD(g_HeldArmQueue.Flink, IRP, Tail.Overlay.ListEntry);

        if (!TakeQueuedIrpLocked(pIrp))
            continue;
        ArmLocked(*(const ULONG *)pIrp->AssociatedIrp.SystemBuffer);
        AddDoneLocked(pIrp, STATUS_SUCCESS, 0);
    }
}

/* Control IRP_MJ_DEVICE_CONTROL: plug, fault injection, state, release, slow
 * requests (simctl.h). */
static NTSTATUS CtlIoctl(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    ULONG dwCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG cbIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    PVOID pvBuf = pIrp->AssociatedIrp.SystemBuffer;
    const SIM_FAULT *pFault = (const SIM_FAULT *)pvBuf;
    ULONG_PTR dwInfo = 0;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql = Lock();

    if (((dwCode == IOCTL_SIM_PLUG || dwCode == IOCTL_SIM_SLOW) && cbIn < sizeof(ULONG)) ||
        (dwCode == IOCTL_SIM_FAULT && cbIn < sizeof(SIM_FAULT)) ||
        (dwCode == IOCTL_SIM_STATE && pStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SIM_STATE))) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (dwCode == IOCTL_SIM_PLUG) {
        PlugLocked(*(const ULONG *)pvBuf);
    } else if (dwCode == IOCTL_SIM_SLOW) {
        g_dwSlowMs = *(const ULONG *)pvBuf;
    } else if (dwCode == IOCTL_SIM_FAULT) {
        if (pFault->request >= SIMREQ_ARM && pFault->request <= SIMREQ_LAST)
            g_aFaults[pFault->request] = *pFault;
        else
            status = STATUS_INVALID_PARAMETER;
    } else if (dwCode == IOCTL_SIM_STATE) {
        RtlCopyMemory(pvBuf, &g_State, sizeof(SIM_STATE));
        dwInfo = sizeof(SIM_STATE);
    } else if (dwCode == IOCTL_SIM_RELEASE) {
        ReleaseArmsLocked();
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    AddDoneLocked(pIrp, status, dwInfo);
    Unlock(irql);
    UpdatePortLink();
    return status;
}

/* Control IRP_MJ_READ: host records, pending until some are queued. */
static NTSTATUS CtlRead(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql = Lock();

    if (pStack->Parameters.Read.Length > 0)
        status = QueueIrpLocked(&g_CtlReadQueue, pIrp, CancelQueuedIrp);
    if (status == STATUS_PENDING)
        FillControlReadsLocked();
    else
        AddDoneLocked(pIrp, status, 0);
    Unlock(irql);
    return status;
}

/* Control IRP_MJ_WRITE: bytes the handheld sends to the host. */
static NTSTATUS CtlWrite(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    KIRQL irql = Lock();
    ULONG cbIn = pStack->Parameters.Write.Length;
    const UCHAR *pbIn = (const UCHAR *)pIrp->AssociatedIrp.SystemBuffer;
    ULONG cbDone = 0;

    if (g_pOwner != NULL) {
        while (cbDone < cbIn && g_dwRxCount < RX_CAPACITY) {
            g_abRx[(g_dwRxHead + g_dwRxCount) % RX_CAPACITY] = pbIn[cbDone++];
            g_dwRxCount++;
        }
        if (cbDone > 0 && g_bArmed)
            g_bEventPending = TRUE;
        SatisfyWaitsLocked();
        SatisfyReadsLocked();
    }
    AddDoneLocked(pIrp, STATUS_SUCCESS, cbDone);
    Unlock(irql);
    return STATUS_SUCCESS;
}

/* Control IRP_MJ_CLEANUP / IRP_MJ_CLOSE: fails that handle's pending reads. */
static NTSTATUS CtlRelease(PIRP pIrp, PFILE_OBJECT pFile)
{
    KIRQL irql = Lock();

    FailQueueLocked(&g_CtlReadQueue, pFile, STATUS_CANCELLED);
    AddDoneLocked(pIrp, STATUS_SUCCESS, 0);
    Unlock(irql);
    return STATUS_SUCCESS;
}

/* ==== Entry, dispatch and unload ============================================ */

/* Dispatch routine of both devices. */
static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);

    if (pDevice == g_pPortDevice) {
        switch (pStack->MajorFunction) {
        case IRP_MJ_CREATE:
            return PortCreate(pIrp, pStack->FileObject, pStack->Parameters.Create.ShareAccess);
        case IRP_MJ_CLEANUP:
            return PortRelease(pIrp, pStack->FileObject, FALSE);
        case IRP_MJ_CLOSE:
            return PortRelease(pIrp, pStack->FileObject, TRUE);
        case IRP_MJ_WRITE:
            return PortWrite(pIrp, pStack);
        case IRP_MJ_READ:
            return PortRead(pIrp, pStack);
        case IRP_MJ_DEVICE_CONTROL:
            return PortIoctl(pIrp, pStack);
        case IRP_MJ_QUERY_VOLUME_INFORMATION:
            return PortQueryVolume(pIrp, pStack);
        case IRP_MJ_FLUSH_BUFFERS:
            return CompleteIrp(pIrp, STATUS_SUCCESS, 0);
        }
    } else if (pDevice == g_pCtlDevice) {
        switch (pStack->MajorFunction) {
        case IRP_MJ_CREATE:
            return CompleteIrp(pIrp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            return CtlRelease(pIrp, pStack->FileObject);
        case IRP_MJ_READ:
            return CtlRead(pIrp, pStack);
        case IRP_MJ_WRITE:
            return CtlWrite(pIrp, pStack);
        case IRP_MJ_DEVICE_CONTROL:
            return CtlIoctl(pIrp, pStack);
        }
    }
    return CompleteIrp(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* Unload: fails whatever is pending, frees the records, removes the names
 * and devices. */
static VOID NTAPI DriverUnload(PDRIVER_OBJECT pDriver)
{
    KIRQL irql = Lock();

    UNREFERENCED_PARAMETER(pDriver);
    PlugLocked(0);
    FailQueueLocked(&g_CtlReadQueue, NULL, STATUS_CANCELLED);
    while (!IsListEmpty(&g_RecordQueue))
        FreeEntry(CONTAINING_RECORD(RemoveHeadList(&g_RecordQueue), SIM_ENTRY, Link));
    g_dwRecords = 0;
    Unlock(irql);
    UpdatePortLink();
    IoDeleteSymbolicLink(&g_usCtlLink);
    if (g_pPortDevice != NULL)
        IoDeleteDevice(g_pPortDevice);
    if (g_pCtlDevice != NULL)
        IoDeleteDevice(g_pCtlDevice);
    g_pPortDevice = NULL;
    g_pCtlDevice = NULL;
}

/* Entry point: creates both devices and the control device's DOS name; the
 * handheld starts unplugged. */
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriver, PUNICODE_STRING pusRegistry)
{
    NTSTATUS status;
    ULONG i;

    UNREFERENCED_PARAMETER(pusRegistry);
    KeInitializeSpinLock(&g_Lock);
    InitializeListHead(&g_WaitQueue);
    InitializeListHead(&g_ReadQueue);
    InitializeListHead(&g_HeldArmQueue);
    InitializeListHead(&g_CtlReadQueue);
    InitializeListHead(&g_RecordQueue);
    InitializeListHead(&g_DoneList);

    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        pDriver->MajorFunction[i] = Dispatch;
    pDriver->DriverUnload = DriverUnload;

    status = IoCreateDevice(pDriver, 0, &g_usPortName, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &g_pPortDevice);
    if (NT_SUCCESS(status))
        status = IoCreateDevice(pDriver, 0, &g_usCtlName, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_pCtlDevice);
    /* A stale name from an earlier load would make the handheld look present. */
    IoDeleteSymbolicLink(&g_usPortLink);
    IoDeleteSymbolicLink(&g_usCtlLink);
    if (NT_SUCCESS(status)) {
        g_pPortDevice->Flags = (g_pPortDevice->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
        g_pCtlDevice->Flags = (g_pCtlDevice->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
        status = IoCreateSymbolicLink(&g_usCtlLink, &g_usCtlName);
    }
    if (!NT_SUCCESS(status))
        DriverUnload(pDriver);
    return status;
}
