// The camera command packet, DeviceStartup, and reading off stale replies.
#include "driver/camera/camera_commands.h"

#include "driver/device/device_context.h"

BOOLEAN SendCameraCommand(DeviceContext* context, const UCHAR packet[64]) {
    // PipeTransfer may write a short IN reply into its buffer; commands go
    // out, so a copy keeps the caller's packet const.
    UCHAR buffer[CommandPacketSize];
    RtlCopyMemory(buffer, packet, CommandPacketSize);
    ULONG moved = 0;
    NTSTATUS status = PipeTransfer(&context->link, CommandPipe, buffer, &moved);
    return NT_SUCCESS(status) && moved == CommandPacketSize;
}

BOOLEAN SendDeviceStartup(DeviceContext* context) {
    UCHAR packet[CommandPacketSize] = {};
    packet[0] = DeviceStartupCode;
    return SendCameraCommand(context, packet);
}

VOID ResynchroniseReplies(DeviceContext* context, BOOLEAN readFailed) {
    if (readFailed) ResetPipe(&context->link, ReplyPipe);
    // At most the rest of one pair can be left over; a third read is the one
    // that shows the pipe empty.
    UCHAR stale[CommandPacketSize];
    for (int read = 0; read < 3; ++read) {
        ULONG moved = 0;
        if (!NT_SUCCESS(PipeTransferWithin(&context->link, ReplyPipe, stale, &moved, StaleReplyWait))) return;
    }
}
