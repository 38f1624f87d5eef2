// The USB controller's 64 KiB memory as the download requests see it, and a
// check of how the host loaded its program.
//
// Vendor request 0xA0 writes the controller's internal memory and 0xA3 its
// external memory; both land in the same 64 KiB address space here. Writing
// 1 to a CPU control register (0x7F92 on the older parts, 0xE600 on the newer
// ones) holds the controller's CPU in reset, writing 0 releases it. A sound
// download holds the CPU (0x7F92 first, then 0xE600), writes the program,
// then releases it; FirmwareLoadCheck records what arrived and every
// departure from that order.
//
// Not thread-safe: the owner serialises calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr uint8_t kRequestInternalMemory = 0xA0;
constexpr uint8_t kRequestExternalMemory = 0xA3;
constexpr uint16_t kCpuControlOld = 0x7F92;
constexpr uint16_t kCpuControlNew = 0xE600;
// Addresses above this live in external memory; 0xA0 reaches only below.
constexpr uint16_t kInternalMemoryTop = 0x1B3F;

struct FirmwareWrite {
    uint8_t request = 0;
    uint16_t address = 0;
    std::vector<uint8_t> data;
};

// One program image: the writes between a CPU hold and the next release.
struct FirmwareImageLoad {
    std::vector<FirmwareWrite> records;
    uint32_t bytes = 0;
    uint16_t lowestAddress = 0xFFFF;
    uint16_t highestAddress = 0;  // last byte written
    bool released = false;
};

struct FirmwareLoadCheck {
    int imagesLoaded = 0;  // images completed by a release
    int records = 0;       // program writes, all images
    uint32_t bytes = 0;
    std::vector<FirmwareImageLoad> images;
    std::vector<std::string> problems;  // empty when the download was sound
    bool cpuHeld = false;

    bool Ok() const { return problems.empty() && !cpuHeld; }
};

class ControllerMemory {
public:
    static constexpr uint32_t kSize = 0x10000;

    ControllerMemory();

    // A vendor write; returns false when the controller refuses it (a
    // request code it does not know, or a write past the top of memory).
    bool Write(uint8_t request, uint16_t address, const uint8_t* data, uint16_t length);

    uint8_t Read(uint16_t address) const { return memory_[address]; }
    std::vector<uint8_t> Read(uint16_t address, uint32_t length) const;
    bool CpuHeld() const { return cpuHeld_; }

    // The check so far; a download that left the CPU held is reported as a
    // problem here, since the program never started.
    FirmwareLoadCheck Check() const;

    void PowerOn();  // memory cleared, CPU running, history forgotten

private:
    void CpuControl(uint16_t address, uint8_t value);
    void Problem(std::string text);

    std::array<uint8_t, kSize> memory_{};
    bool cpuHeld_ = false;
    // Hold and release each take two writes: 0x7F92 then 0xE600.
    bool oldHeld_ = false;
    bool newHeld_ = false;
    FirmwareLoadCheck check_;
};

}  // namespace sim
