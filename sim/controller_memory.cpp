#include "sim/controller_memory.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

std::string Hex4(uint32_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", v & 0xFFFFu);
    return buf;
}

}  // namespace

ControllerMemory::ControllerMemory() { PowerOn(); }

void ControllerMemory::PowerOn() {
    memory_.fill(0);
    cpuHeld_ = false;
    oldHeld_ = false;
    newHeld_ = false;
    check_ = FirmwareLoadCheck{};
}

void ControllerMemory::Problem(std::string text) { check_.problems.push_back(std::move(text)); }

bool ControllerMemory::Write(uint8_t request, uint16_t address, const uint8_t* data, uint16_t length) {
    if (request != kRequestInternalMemory && request != kRequestExternalMemory) return false;
    if (static_cast<uint32_t>(address) + length > kSize) {
        Problem("write of " + std::to_string(length) + " bytes at " + Hex4(address) + " runs past the top of memory");
        return false;
    }

    // A one-byte 0xA0 write to a CPU control register is the hold/release
    // switch, not part of the program.
    if (request == kRequestInternalMemory && length == 1 &&
        (address == kCpuControlOld || address == kCpuControlNew)) {
        memory_[address] = data[0];
        CpuControl(address, data[0]);
        return true;
    }

    if (length > 0) std::memcpy(&memory_[address], data, length);

    if (request == kRequestInternalMemory) {
        if (!cpuHeld_) Problem("write to " + Hex4(address) + " while CPU running");
        if (address > kInternalMemoryTop) Problem("internal-memory write to external address " + Hex4(address));
    } else if (address <= kInternalMemoryTop) {
        // External-memory writes go through the running program and belong
        // above internal memory.
        Problem("external-memory write to internal address " + Hex4(address));
    }

    if (check_.images.empty() || check_.images.back().released) {
        // A write outside any hold still counts, in an image of its own, so
        // the check shows everything that arrived.
        check_.images.emplace_back();
    }
    FirmwareImageLoad& image = check_.images.back();
    image.records.push_back(FirmwareWrite{request, address, std::vector<uint8_t>(data, data + length)});
    image.bytes += length;
    if (length > 0) {
        if (address < image.lowestAddress) image.lowestAddress = address;
        uint16_t last = static_cast<uint16_t>(address + length - 1);
        if (last > image.highestAddress) image.highestAddress = last;
    }
    check_.records += 1;
    check_.bytes += length;
    return true;
}

void ControllerMemory::CpuControl(uint16_t address, uint8_t value) {
    const bool hold = (value & 1) != 0;
    const bool isOld = address == kCpuControlOld;
    if (hold) {
        if (isOld) {
            oldHeld_ = true;
        } else {
            if (!oldHeld_) Problem("CPU hold written to 0xE600 before 0x7F92");
            newHeld_ = true;
        }
        if (!cpuHeld_) {
            cpuHeld_ = true;
            // The program of this hold starts a new image.
            check_.images.emplace_back();
        }
    } else {
        if (!cpuHeld_) {
            Problem("CPU release written to " + Hex4(address) + " while CPU running");
            return;
        }
        if (isOld) {
            oldHeld_ = false;
        } else {
            if (oldHeld_) Problem("CPU release written to 0xE600 before 0x7F92");
            newHeld_ = false;
        }
        // The CPU runs once the second register of the pair is released.
        if (!isOld || !newHeld_) {
            cpuHeld_ = false;
            oldHeld_ = false;
            newHeld_ = false;
            FirmwareImageLoad& image = check_.images.back();
            image.released = true;
            if (!image.records.empty()) check_.imagesLoaded += 1;
        }
    }
}

std::vector<uint8_t> ControllerMemory::Read(uint16_t address, uint32_t length) const {
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < length && address + i < kSize; ++i) out.push_back(memory_[address + i]);
    return out;
}

FirmwareLoadCheck ControllerMemory::Check() const {
    FirmwareLoadCheck c = check_;
    c.cpuHeld = cpuHeld_;
    if (cpuHeld_) c.problems.push_back("CPU left held after the download");
    return c;
}

}  // namespace sim
