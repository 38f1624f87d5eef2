// What tests and the tool can see of the camera: its registers, firmware,
// counters and packet log, pending transfers, the trace, and a summary for
// people.
#include "sim/simulated_camera.h"

#include <cstdio>
#include <sstream>

namespace sim {

using hostusb::BulkTransfer;

uint32_t SimulatedCamera::SensorRegister(int reg) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sensor_.Get(reg);
}

std::vector<uint32_t> SimulatedCamera::SensorRegisterFile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint32_t> out(kSensorRegisterCount);
    for (int i = 0; i < kSensorRegisterCount; ++i) out[static_cast<size_t>(i)] = sensor_.Get(i);
    return out;
}

uint32_t SimulatedCamera::Exposure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sensor_.Exposure();
}

uint32_t SimulatedCamera::GlobalGain() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sensor_.GlobalGain();
}

uint32_t SimulatedCamera::RawFrameSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rawFrameSize_;
}

bool SimulatedCamera::Configured() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configured_;
}

bool SimulatedCamera::StartupReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return startupReceived_;
}

FirmwareLoadCheck SimulatedCamera::FirmwareCheck() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return memory_.Check();
}

std::vector<uint8_t> SimulatedCamera::ReadControllerMemory(uint16_t address, uint32_t length) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return memory_.Read(address, length);
}

CameraCounters SimulatedCamera::Counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

std::vector<PacketLogEntry> SimulatedCamera::PacketLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return packetLog_;
}

void SimulatedCamera::ClearPacketLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    packetLog_.clear();
}

size_t SimulatedCamera::PendingTransfers(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    if (endpoint == kReplyEndpoint) n += pendingReplies_.size();
    if (endpoint == kFrameEndpoint) n += pendingFrame_.size();
    for (BulkTransfer* t : hung_) n += t->endpoint == endpoint ? 1 : 0;
    return n;
}

bool SimulatedCamera::WaitForPendingTransfers(uint8_t endpoint, size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    ++transferWaiters_;
    bool reached = changed_.wait_for(lock, timeout, [&] {
        size_t n = endpoint == kReplyEndpoint ? pendingReplies_.size() : endpoint == kFrameEndpoint ? pendingFrame_.size() : 0;
        for (BulkTransfer* t : hung_) n += t->endpoint == endpoint ? 1 : 0;
        return n >= count;
    });
    --transferWaiters_;
    return reached;
}

std::vector<std::string> SimulatedCamera::TraceLines() const { return trace_.Lines(); }

void SimulatedCamera::ClearTrace() { trace_.Clear(); }

bool SimulatedCamera::WriteTrace(FILE* file) const { return trace_.WriteTo(file); }

bool SimulatedCamera::WriteTrace(const std::string& path) const { return trace_.WriteTo(path); }

void SimulatedCamera::SetTraceOptions(const TraceOptions& options) { trace_.SetOptions(options); }

size_t SimulatedCamera::TraceDroppedLines() const { return trace_.DroppedLines(); }

std::string SimulatedCamera::Summary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream o;
    char buf[160];
    std::snprintf(buf, sizeof buf, "Simulated camera %04X:%04X (made-up ids), %s, %s\n", kVendorId, kProductId,
                  plugged_ ? (portEnabled_ ? "plugged in" : "port disabled") : "unplugged",
                  configured_ ? "configured" : "not configured");
    o << buf;
    const std::vector<uint8_t>& dev = descriptors_.device;
    const std::vector<uint8_t>& cfg = descriptors_.configuration;
    o << "Device descriptor (" << dev.size() << " bytes):";
    for (uint8_t b : dev) {
        std::snprintf(buf, sizeof buf, " %02X", b);
        o << buf;
    }
    o << "\nConfiguration descriptor (" << cfg.size() << " bytes, "
      << (cfg == ConfigurationDescriptor() ? "1 interface, alternate setting 0" : "presented in place of the camera's own")
      << ")\n";
    for (int i = 0; i < kPipeCount; ++i) {
        const EndpointInfo& ep = EndpointAt(i);
        std::snprintf(buf, sizeof buf, "  pipe %d: endpoint 0x%02X, bulk %s, %u-byte packets\n", i, ep.address,
                      (ep.address & 0x80) ? "IN" : "OUT", ep.maxPacketSize);
        o << buf;
    }
    const FirmwareLoadCheck fw = memory_.Check();
    o << "Firmware: " << fw.imagesLoaded << " image(s) loaded, " << fw.records << " records, " << fw.bytes << " bytes\n";
    for (size_t i = 0; i < fw.images.size(); ++i) {
        const FirmwareImageLoad& im = fw.images[i];
        if (im.records.empty()) continue;
        std::snprintf(buf, sizeof buf, "  image %zu: %zu records, %u bytes, 0x%04X..0x%04X%s\n", i + 1, im.records.size(),
                      im.bytes, im.lowestAddress, im.highestAddress, im.released ? "" : " (CPU not released)");
        o << buf;
    }
    for (const std::string& p : fw.problems) o << "  problem: " << p << "\n";
    o << "Commands received: " << counters_.commandsReceived << " (DeviceStartup " << (startupReceived_ ? "yes" : "no")
      << ", register writes " << counters_.commandsByCode[kCmdWriteRegister] << ")\n";
    std::snprintf(buf, sizeof buf,
                  "Exposure %u, global gain %u (brightness x%.2f), trigger mode %s, raw frame size %u (%u lines)\n",
                  sensor_.Exposure(), sensor_.GlobalGain(),
                  BrightnessFactorQ16(sensor_.Exposure(), sensor_.GlobalGain()) / 65536.0,
                  TriggerModeLocked() ? "on" : "off", rawFrameSize_, LinesInRawFrame(rawFrameSize_));
    o << buf;
    o << "Frames sent: " << counters_.framesSent << ", scene " << scene_->Name() << "\n";
    o << "Sensor registers (non-zero):";
    int shown = 0;
    for (int r = 0; r < kSensorRegisterCount; ++r) {
        const uint32_t v = sensor_.Get(r);
        if (v == 0) continue;
        if (shown % 8 == 0) o << "\n ";
        std::snprintf(buf, sizeof buf, " %4d=%-7u", r, v);
        o << buf;
        ++shown;
    }
    if (shown == 0) o << " none";
    o << "\n";
    return o.str();
}

}  // namespace sim
