// The camera's controller: power-up and unplugging, the command processor
// that carries out each 64-byte packet, the QueryStatus reply pair and its
// faults, and trigger mode.
#include "sim/simulated_camera.h"

#include <algorithm>
#include <cstring>

namespace sim {

using hostusb::BulkTransfer;
using hostusb::kUsbdDeviceGone;
using hostusb::kUsbdSuccess;

namespace {

constexpr size_t kPacketLogLimit = 100000;

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

void SimulatedCamera::UnplugLocked(Completions& done) {
    plugged_ = false;
    configured_ = false;
    AbandonFrameLocked();
    replies_.clear();
    FailAllPendingLocked(kUsbdDeviceGone, false, done);
}

void SimulatedCamera::PowerOnLocked() {
    portEnabled_ = true;
    configured_ = false;
    startupReceived_ = false;
    controllerTrigger_ = false;
    rawFrameSize_ = kDefaultRawFrameSize;
    stalled_.fill(false);
    memory_.PowerOn();
    sensor_.PowerOn();
    replies_.clear();
    triggersLatched_ = 0;
    packetSequence_ = 0;
    AbandonFrameLocked();
}

void SimulatedCamera::ProcessCommandLocked(const uint8_t packet[kCommandPacketSize]) {
    const ParsedCommand c = ParseCommandPacket(packet);
    ++counters_.commandsReceived;
    ++counters_.commandsByCode[c.code];
    ++packetSequence_;
    if (packetLog_.size() < kPacketLogLimit) packetLog_.push_back(PacketLogEntry{packetSequence_, c});

    switch (c.code) {
    case kCmdCapturePrepare:
        // A new frame read begins: whatever is left of the previous frame
        // (its reads were cancelled or timed out) is dropped, and a frame
        // asked for but not begun is forgotten, so the next Command03 starts
        // a whole new frame from its first byte. The host sends Command02
        // twice per read; the second finds nothing to drop.
        if (activeFrame_ || frameRequested_) AbandonFrameLocked();
        break;
    case kCmdCaptureGo:
        frameRequested_ = true;
        ++counters_.framesRequested;
        changed_.notify_all();
        break;
    case kCmdWriteRegister:
        sensor_.ApplyWrite(c.bitCount, c.word);
        changed_.notify_all();  // may end trigger mode
        break;
    case kCmdDeviceStartup:
        startupReceived_ = true;
        break;
    case kCmdSetFrameSize:
        rawFrameSize_ = c.frameSize;
        break;
    case kCmdSetTriggerMode:
        controllerTrigger_ = c.arg1 != 0;
        changed_.notify_all();
        break;
    case kCmdQueryStatus:
        QueueStatusRepliesLocked();
        break;
    default:
        // Command0A, Command20 and codes the controller does not know are
        // accepted and logged; they change nothing the host can observe.
        break;
    }
}

// The reply pair. First packet: byte 0 echoes 0x29, byte 1 is 1 once
// DeviceStartup arrived, bytes 2..5 frames sent and 6..9 the raw frame size
// (little-endian). Second packet: byte 0 bit 0x10 trigger mode, bit 0x01 a
// frame on its way; bytes 1 and 2 the low bytes of sensor registers 32 and
// 33; byte 3 the 0x28 switch.
void SimulatedCamera::QueueStatusRepliesLocked() {
    std::vector<uint8_t> first(kCommandPacketSize, 0);
    first[0] = kCmdQueryStatus;
    first[1] = startupReceived_ ? 1 : 0;
    PutLe32(&first[2], static_cast<uint32_t>(counters_.framesSent));
    PutLe32(&first[6], rawFrameSize_);

    std::vector<uint8_t> second(kCommandPacketSize, 0);
    second[0] = static_cast<uint8_t>((TriggerModeLocked() ? 0x10 : 0) | (activeFrame_ ? 0x01 : 0));
    second[1] = static_cast<uint8_t>(sensor_.Get(kRegReadoutMode));
    second[2] = static_cast<uint8_t>(sensor_.Get(kRegTriggerMode));
    second[3] = controllerTrigger_ ? 1 : 0;

    ReplyFault fault = ReplyFault::kNone;
    if (faults_.replyFaultCount > 0) {
        fault = faults_.replyFault;
        if (--faults_.replyFaultCount == 0) faults_.replyFault = ReplyFault::kNone;
    }
    switch (fault) {
    case ReplyFault::kDropBoth:
        return;
    case ReplyFault::kDropSecond:
        replies_.push_back(std::move(first));
        return;
    case ReplyFault::kShorten:
        (faults_.replyShortPacket == 0 ? first : second).resize(std::min(faults_.replyShortBytes, kCommandPacketSize));
        break;
    case ReplyFault::kNone:
        break;
    }
    replies_.push_back(std::move(first));
    replies_.push_back(std::move(second));
}

void SimulatedCamera::MatchRepliesLocked(Completions& done) {
    while (!replies_.empty() && !pendingReplies_.empty()) {
        BulkTransfer* t = pendingReplies_.front();
        pendingReplies_.pop_front();
        const std::vector<uint8_t>& reply = replies_.front();
        const uint32_t n = std::min(t->length, static_cast<uint32_t>(reply.size()));
        if (n > 0) std::memcpy(t->buffer, reply.data(), n);
        replies_.pop_front();
        ++counters_.replyPacketsSent;
        FinishInLocked(t, kUsbdSuccess, n, done);
    }
}

bool SimulatedCamera::TriggerModeLocked() const { return controllerTrigger_ && sensor_.SensorTriggerMode(); }

void SimulatedCamera::FireTrigger() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.triggersFired;
    if (TriggerModeLocked()) {
        ++triggersLatched_;
        changed_.notify_all();
    }
}

bool SimulatedCamera::TriggerMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return TriggerModeLocked();
}

bool SimulatedCamera::ControllerTriggerMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controllerTrigger_;
}

}  // namespace sim
