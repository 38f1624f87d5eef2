// Helpers for driving the simulated camera through hostusb::UsbDevice the way
// the host stack does.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/usb/usb_device.h"
#include "sim/simulated_camera.h"

namespace simtest {

// A bulk transfer that owns its buffer and records its completion.
class TestTransfer : public hostusb::BulkTransfer {
public:
    TestTransfer(uint8_t ep, uint32_t len) : data(len, 0xCC) {
        endpoint = ep;
        length = len;
        buffer = data.data();
    }
    ~TestTransfer() override = default;

    void Complete(uint32_t s, uint32_t actual) override {
        std::lock_guard<std::mutex> lock(mutex);
        status = s;
        transferred = actual;
        ++completions;
        cv.notify_all();
    }

    bool WaitDone(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return completions > 0; });
    }
    int Completions() {
        std::lock_guard<std::mutex> lock(mutex);
        return completions;
    }
    uint32_t Status() {
        std::lock_guard<std::mutex> lock(mutex);
        return status;
    }
    uint32_t Transferred() {
        std::lock_guard<std::mutex> lock(mutex);
        return transferred;
    }

    std::vector<uint8_t> data;

private:
    std::mutex mutex;
    std::condition_variable cv;
    int completions = 0;
    uint32_t status = 0xFFFFFFFF;
    uint32_t transferred = 0xFFFFFFFF;
};

inline std::vector<uint8_t> Packet(std::initializer_list<uint8_t> head) {
    std::vector<uint8_t> p(64, 0);
    size_t i = 0;
    for (uint8_t b : head) p[i++] = b;
    return p;
}

inline std::vector<uint8_t> RegisterPacket(int reg, uint32_t value) {
    const int width = reg < 256 ? 6 : reg < 384 ? 16 : 22;
    const uint32_t w = static_cast<uint32_t>(reg & 0x3FF) | ((value & ((1u << width) - 1u)) << 10);
    return Packet({0x04, static_cast<uint8_t>(10 + width), static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8),
                   static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(w >> 24)});
}

// Sends one command packet on pipe 0; returns the completion status and
// stores the moved byte count.
inline uint32_t SendCommand(sim::SimulatedCamera& cam, const std::vector<uint8_t>& packet, uint32_t* moved = nullptr) {
    TestTransfer t(0x01, static_cast<uint32_t>(packet.size()));
    std::memcpy(t.data.data(), packet.data(), packet.size());
    cam.SubmitBulk(&t);
    if (!t.WaitDone(std::chrono::milliseconds(2000))) {
        cam.CancelBulk(&t);
        t.WaitDone();
    }
    if (moved) *moved = t.Transferred();
    return t.Status();
}

inline uint32_t Vendor(sim::SimulatedCamera& cam, uint8_t request, uint16_t address, std::vector<uint8_t> bytes) {
    hostusb::SetupPacket s{0x40, request, address, 0, static_cast<uint16_t>(bytes.size())};
    uint32_t moved = 0;
    return cam.ControlTransfer(s, bytes.data(), &moved);
}

inline void Configure(sim::SimulatedCamera& cam) { cam.SetConfiguration(1); }

inline std::string HexOf(const std::vector<uint8_t>& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) {
        s.push_back(kHex[b >> 4]);
        s.push_back(kHex[b & 15]);
    }
    return s;
}

// Register values a freshly started camera holds after the host's settings
// load with nothing saved: exposure 2, global gain 100.
inline void FreshCameraSettings(sim::SimulatedCamera& cam) {
    SendCommand(cam, RegisterPacket(158, 2));
    SendCommand(cam, RegisterPacket(159, 0));
    SendCommand(cam, RegisterPacket(6, 36));
    SendCommand(cam, RegisterPacket(7, 1));
}

using Transfers = std::vector<std::unique_ptr<TestTransfer>>;

// Posts the reads for one frame as the host does: Command02 twice, every
// 64 KiB read, then Command03. The transfers complete as the camera sends.
inline Transfers PostFrameReads(sim::SimulatedCamera& cam, uint32_t size, uint32_t chunk = 65536) {
    SendCommand(cam, Packet({0x02}));
    SendCommand(cam, Packet({0x02}));
    Transfers ts;
    for (uint32_t off = 0; off < size; off += chunk) {
        ts.push_back(std::make_unique<TestTransfer>(0x82, std::min<uint32_t>(chunk, size - off)));
        cam.SubmitBulk(ts.back().get());
    }
    SendCommand(cam, Packet({0x03}));
    return ts;
}

}  // namespace simtest
