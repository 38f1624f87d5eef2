// USB transport state of one camera and the routines that move its bytes:
// synchronous URBs, 64-byte command and reply transfers, the chunked read of
// a raw frame with every 64 KiB chunk in flight at once, configuration and the
// controller firmware download.
#pragma once

#include "driver/wdk.h"

struct UsbLink;
class DeviceContext;
struct FirmwareRecord;

// One chunk of a frame read. The table of a read has one more entry than it
// has chunks; the extra entry stays zero.
struct ChunkRequest {
    UsbLink* link;
    PURB urb;
    PIRP irp;
    PMDL mdl;
};

struct UsbLink {
    PDEVICE_OBJECT physicalDeviceObject;
    PDEVICE_OBJECT lowerDeviceObject;
    PDEVICE_OBJECT functionalDeviceObject;
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor;
    PUSBD_INTERFACE_INFORMATION interfaceInfo;
    KEVENT readsDone;           // set when the last chunk of a frame read completes
    ChunkRequest* chunkTable;   // the frame read in flight
    LONG chunksPending;
    ULONG chunkCount;
    ULONG bytesReceived;
    KSPIN_LOCK chunkLock;       // guards the chunk bookkeeping above
    PMDL frameMdl;
    // Cancel passes running over chunkTable; the reader frees the table only
    // when none is (guarded by chunkLock).
    LONG cancelPasses;
    // Set when a read in flight is cancelled from outside (guarded by chunkLock).
    BOOLEAN readCancelled;
    // Users of interfaceInfo: transfers and frame reads in progress. Stop and
    // removal retire the interface (no new user gets it), wait until the
    // last user is gone and only then free it (guarded by interfaceLock).
    KSPIN_LOCK interfaceLock;
    LONG interfaceUsers;
    BOOLEAN interfaceRetiring;
    KEVENT interfaceIdle;  // set when the last user of a retiring interface leaves
};

constexpr ULONG CommandPipe = 0;
constexpr ULONG ReplyPipe = 1;
constexpr ULONG FramePipe = 2;
constexpr ULONG CommandPacketSize = 64;
constexpr ULONG FrameChunkSize = 0x10000;

// Commands and replies must not hang a caller for ever when the camera stops
// answering: a request not completed within this many milliseconds is
// cancelled and reported as STATUS_IO_TIMEOUT. Variable so tests can shorten it.
extern LONG volatile UsbRequestTimeout;
constexpr LONG DefaultUsbRequestTimeout = 5000;

// Makes interfaceInfo safe to read until ReleaseInterface: FALSE when there
// is none or it is being retired (the caller then must not touch it).
// Callable at up to DISPATCH_LEVEL; calls may nest.
BOOLEAN AcquireInterface(UsbLink* link);
VOID ReleaseInterface(UsbLink* link);
// Stores a freshly selected interface for new users.
VOID InstallInterface(UsbLink* link, PUSBD_INTERFACE_INFORMATION info);
// Takes the interface away from new users, ends a frame read in flight, waits
// (at PASSIVE_LEVEL) until no one uses it any more and hands it back to be
// freed; null when there was none.
PUSBD_INTERFACE_INFORMATION RetireInterface(UsbLink* link);

NTSTATUS SubmitUrbSync(UsbLink* link, PURB urb);
// Short transfers allowed, and the direction of the pipe's endpoint.
ULONG PipeTransferFlags(const USBD_PIPE_INFORMATION* pipe);
NTSTATUS PipeTransfer(UsbLink* link, ULONG pipeIndex, PUCHAR buffer, ULONG* bytesMoved);
// PipeTransfer with its own bound, in milliseconds, for reads that may well
// find nothing to read.
NTSTATUS PipeTransferWithin(UsbLink* link, ULONG pipeIndex, PUCHAR buffer, ULONG* bytesMoved, LONG milliseconds);
// Clears a halt of the pipe and its data toggle (sync reset pipe and clear
// stall). Nothing sent on the pipe may still be pending.
NTSTATUS ResetPipe(UsbLink* link, ULONG pipeIndex);
VOID SendCaptureCommand(DeviceContext* context, BOOLEAN start);
BOOLEAN ReadRawFrame(DeviceContext* context, PUCHAR buffer, BOOLEAN* success);
NTSTATUS ReadFrameChunked(UsbLink* link, ULONG length, PUCHAR buffer, DeviceContext* context);
// The bytes the chunks of the latest frame read brought, counted by the
// completions under the link's own lock; 0 when no chunk brought any.
ULONG FrameBytesReceived(UsbLink* link);
NTSTATUS NTAPI ChunkCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
VOID CancelChunks(UsbLink* link);
VOID CancelPendingReads(UsbLink* link);
NTSTATUS ResetPortIfDisabled(UsbLink* link);
NTSTATUS ReadDeviceDescriptor(UsbLink* link);
NTSTATUS ReadConfiguration(UsbLink* link);
NTSTATUS SelectConfiguration(UsbLink* link, PUSB_CONFIGURATION_DESCRIPTOR configuration);
NTSTATUS Deconfigure(UsbLink* link);
VOID ReleaseConfiguration(UsbLink* link);
NTSTATUS DownloadFirmware(UsbLink* link, const FirmwareRecord* image);
NTSTATUS SetControllerReset(UsbLink* link, BOOLEAN hold);
