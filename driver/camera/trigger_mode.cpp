// External trigger mode: the controller's switch (0x28), the sensor's two
// mode registers, and the status query (0x29) that reads the mode back.
#include "driver/camera/trigger_mode.h"

#include "driver/camera/camera_commands.h"
#include "driver/camera/sensor_registers.h"
#include "driver/device/device_context.h"

namespace {

constexpr LONG FreeRunningBit = 0x10;  // register 32
constexpr LONG TriggerNibbleMask = 0x0F;  // register 33
constexpr LONG TriggerNibbleOn = 12;
constexpr LONG TriggerNibbleOff = 1;
constexpr UCHAR ReplyTriggerBit = 0x10;  // byte 0 of the second status packet

}  // namespace

BOOLEAN SetTriggerMode(DeviceContext* context, LONG on) {
    RtlZeroMemory(context->registerCommand, sizeof context->registerCommand);
    context->registerCommand[0] = SetTriggerModeCode;
    context->registerCommand[1] = on ? 1 : 0;
    if (!SendCameraCommand(context, context->registerCommand)) return FALSE;
    // The sensor's other bits in both registers stay as the shadow has them;
    // the shadow is the only record, the sensor cannot be read back.
    LONG readout = context->sensorRegisters[ReadoutModeRegister];
    readout = on ? (readout & ~FreeRunningBit) : (readout | FreeRunningBit);
    LONG mode = (context->sensorRegisters[TriggerModeRegister] & ~TriggerNibbleMask) +
                (on ? TriggerNibbleOn : TriggerNibbleOff);
    // The controller has switched already; a refused register write is not
    // undone or reported, the mode field follows the controller.
    WriteSensorRegister(context, ReadoutModeRegister, readout);
    WriteSensorRegister(context, TriggerModeRegister, mode);
    context->settings.externalTrigger = on ? 1 : 0;
    return TRUE;
}

BOOLEAN QueryTriggerMode(DeviceContext* context) {
    RtlZeroMemory(context->registerCommand, sizeof context->registerCommand);
    context->registerCommand[0] = QueryStatusCode;
    if (!SendCameraCommand(context, context->registerCommand)) return FALSE;
    // The camera answers with two packets; only the second carries the mode.
    // Both land in registerCommand, and each must arrive whole.
    for (int packet = 0; packet < 2; ++packet) {
        ULONG moved = 0;
        NTSTATUS status = PipeTransfer(&context->link, ReplyPipe, context->registerCommand, &moved);
        if (!NT_SUCCESS(status) || moved != CommandPacketSize) {
            ResynchroniseReplies(context, !NT_SUCCESS(status));
            return FALSE;
        }
    }
    const BOOLEAN triggered = (context->registerCommand[0] & ReplyTriggerBit) != 0;
    context->settings.externalTrigger = triggered ? 1 : 0;
    return triggered;
}
