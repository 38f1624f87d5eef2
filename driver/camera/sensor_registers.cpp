// WriteSensorRegister and the operations that split one setting over two
// six-bit registers (exposure, global gain).
#include "driver/camera/sensor_registers.h"

#include "driver/camera/camera_commands.h"
#include "driver/device/device_context.h"

ULONG SensorRegisterWidth(ULONG reg) {
    reg &= SensorRegisterNumberMask;
    if (reg < 256) return 6;
    if (reg < 384) return 16;
    return 22;
}

VOID BuildSensorRegisterPacket(UCHAR packet[64], ULONG reg, LONG value) {
    reg &= SensorRegisterNumberMask;
    const ULONG width = SensorRegisterWidth(reg);
    const ULONG mask = (1UL << width) - 1;
    const ULONG word = reg | ((static_cast<ULONG>(value) & mask) << 10);
    packet[0] = WriteSensorRegisterCode;
    // The bit count tells the controller how much of the word to clock out.
    packet[1] = static_cast<UCHAR>(10 + width);
    for (ULONG i = 0; i < 4; ++i) packet[2 + i] = static_cast<UCHAR>(word >> (8 * i));
}

BOOLEAN WriteSensorRegister(DeviceContext* context, ULONG reg, LONG value) {
    // The packet carries ten bits of register number, so a larger number
    // reaches register (reg AND 0x3FF) on the sensor; the shadow is kept for
    // that same register, which also keeps the index inside the array.
    reg &= SensorRegisterNumberMask;
    // The shadow is the driver's only record of register contents and the
    // base of later read-modify-writes; it takes the value before the send,
    // so it says what the driver asked for even when the camera refused it.
    context->sensorRegisters[reg] = value;
    RtlZeroMemory(context->registerCommand, sizeof context->registerCommand);
    BuildSensorRegisterPacket(context->registerCommand, reg, value);
    return SendCameraCommand(context, context->registerCommand);
}

BOOLEAN SetGlobalGain(DeviceContext* context, LONG gain) {
    // The sensor takes ten bits; the field keeps the caller's value whole.
    const ULONG bits = static_cast<ULONG>(gain);
    if (!WriteSensorRegister(context, GainLowRegister, static_cast<LONG>(bits & 0x3F))) return FALSE;
    if (!WriteSensorRegister(context, GainHighRegister, static_cast<LONG>((bits >> 6) & 0x0F))) return FALSE;
    context->settings.globalGain = gain;
    return TRUE;
}

BOOLEAN SetExposure(DeviceContext* context, LONG exposure) {
    // Clamped as unsigned, so a negative request means "as long as possible".
    // 1252 is the longest count the start-up sequence table gives the sensor.
    ULONG v = static_cast<ULONG>(exposure);
    if (v < MinimumExposure) v = MinimumExposure;
    if (v > MaximumExposure) v = MaximumExposure;
    if (!WriteSensorRegister(context, ExposureLowRegister, static_cast<LONG>(v & 0x3F))) return FALSE;
    if (!WriteSensorRegister(context, ExposureHighRegister, static_cast<LONG>((v >> 6) & 0x3F))) return FALSE;
    context->settings.exposure = static_cast<LONG>(v);
    return TRUE;
}
