#include "sim/sensor.h"

namespace sim {

int SensorRegisterWidth(int reg) {
    if (reg < 256) return 6;
    if (reg < 384) return 16;
    return 22;
}

RegisterWriteResult SensorRegisters::ApplyWrite(uint8_t bitCount, uint32_t word) {
    RegisterWriteResult r;
    r.reg = static_cast<int>(word & 0x3FF);
    if (bitCount != 16 && bitCount != 26 && bitCount != 32) return r;
    const int dataBits = bitCount - 10;
    r.value = (word >> 10) & ((1u << dataBits) - 1u);
    r.widthMismatch = dataBits != SensorRegisterWidth(r.reg);
    r.applied = true;
    regs_[r.reg] = r.value;
    return r;
}

uint32_t SensorRegisters::Exposure() const {
    return (regs_[kRegExposureLow] & 0x3F) | ((regs_[kRegExposureHigh] & 0x3F) << 6);
}

uint32_t SensorRegisters::GlobalGain() const {
    return (regs_[kRegGainLow] & 0x3F) | ((regs_[kRegGainHigh] & 0x0F) << 6);
}

bool SensorRegisters::SensorTriggerMode() const {
    return (regs_[kRegReadoutMode] & 0x10) == 0 && (regs_[kRegTriggerMode] & 0x0F) == 12;
}

}  // namespace sim
