// The image sensor behind the controller: its 1024-entry register file, and
// what the picture and the trigger logic read from it.
//
// A register write carries a 32-bit word whose low 10 bits name the register
// and whose upper bits hold the value; the packet's bit count (16, 26 or 32)
// says how many of the word's bits are meaningful, so the value is the word
// shifted right 10 and masked to bitCount - 10 bits.
//
// Not thread-safe: the owner serialises calls.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

constexpr int kSensorRegisterCount = 1024;

// Registers the simulated picture and trigger logic read.
constexpr int kRegGainLow = 6;        // global gain bits 0..5
constexpr int kRegGainHigh = 7;       // global gain bits 6..9 (low four bits)
constexpr int kRegReadoutMode = 32;   // bit 4 set: free running
constexpr int kRegTriggerMode = 33;   // low nibble: 1 free running, 12 triggered
constexpr int kRegExposureLow = 158;  // exposure bits 0..5
constexpr int kRegExposureHigh = 159; // exposure bits 6..11

// Width in bits a register holds: 6 below 256, 16 up to 383, 22 above.
int SensorRegisterWidth(int reg);

struct RegisterWriteResult {
    bool applied = false;        // false: bit count not 16, 26 or 32
    int reg = 0;
    uint32_t value = 0;          // as stored
    bool widthMismatch = false;  // bit count does not fit the register's width
};

class SensorRegisters {
public:
    SensorRegisters() { PowerOn(); }

    void PowerOn() { regs_.fill(0); }

    RegisterWriteResult ApplyWrite(uint8_t bitCount, uint32_t word);

    uint32_t Get(int reg) const { return regs_[reg & 0x3FF]; }
    void Set(int reg, uint32_t value) { regs_[reg & 0x3FF] = value; }

    // Exposure in register units (158 low six bits, 159 the next six).
    uint32_t Exposure() const;
    // Global gain in register units (6 low six bits, 7 the next four).
    uint32_t GlobalGain() const;
    // The sensor waits for a trigger when register 32 bit 4 is clear and the
    // low nibble of register 33 is 12.
    bool SensorTriggerMode() const;

private:
    std::array<uint32_t, kSensorRegisterCount> regs_{};
};

}  // namespace sim
