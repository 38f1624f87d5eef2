#include "sim/simulated_camera.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "host/kernel/threads.h"
#include "sim/descriptors.h"

namespace sim {

using hostusb::BulkTransfer;
using hostusb::kUsbdCanceled;
using hostusb::kUsbdDeviceGone;
using hostusb::kUsbdDevNotResponding;
using hostusb::kUsbdRequestFailed;
using hostusb::kUsbdStallPid;
using hostusb::kUsbdSuccess;

namespace {

constexpr size_t kPacketLogLimit = 100000;
constexpr int kFrameEndpointPipe = 2;
constexpr uint8_t kRequestTypeVendorOut = 0x40;
constexpr uint8_t kRequestTypeStandardIn = 0x80;
constexpr uint8_t kRequestGetDescriptor = 6;

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

bool SameRender(const RenderParams& a, const RenderParams& b) {
    return a.rawFrameSize == b.rawFrameSize && a.exposure == b.exposure && a.gain == b.gain &&
           a.noiseAmplitude == b.noiseAmplitude;
}

}  // namespace

SimulatedCamera::SimulatedCamera()
    : scene_(Scene::TestChart()), descriptors_{DeviceDescriptor(), ConfigurationDescriptor()} {
    thread_ = std::thread([this] { FrameThread(); });
}

SimulatedCamera::~SimulatedCamera() {
    Completions done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    {
        // A host that let go of the camera without cancelling still gets
        // every transfer back, so no waiter blocks.
        std::lock_guard<std::mutex> lock(mutex_);
        FailAllPendingLocked(kUsbdCanceled, false, done);
    }
    RunCompletions(done);
}

void SimulatedCamera::RunCompletions(const Completions& done) {
    for (const Completion& c : done) c.transfer->Complete(c.status, c.actual);
}

// ---------------------------------------------------------------------------
// Request bookkeeping

// Called at the start of every request with the lock held. Returns false
// when the device is gone (then the request fails with kUsbdDeviceGone and
// is not traced), counting down a planned unplug.
bool SimulatedCamera::EnterRequestLocked(Completions& done) {
    if (!plugged_) return false;
    if (faults_.unplugAfterRequests >= 0) {
        if (faults_.unplugAfterRequests == 0) {
            faults_.unplugAfterRequests = -1;
            UnplugLocked(done);
            return false;
        }
        --faults_.unplugAfterRequests;
    }
    ++counters_.requests;
    return true;
}

// Status with which a plugged device refuses traffic, or success.
uint32_t SimulatedCamera::DeviceRefusalLocked() const {
    return portEnabled_ ? kUsbdSuccess : kUsbdDevNotResponding;
}

void SimulatedCamera::FinishInLocked(BulkTransfer* t, uint32_t status, uint32_t actual, Completions& done) {
    trace_.BulkIn(PipeIndexOf(t->endpoint), t->endpoint, t->length, actual);
    done.push_back(Completion{t, status, actual});
}

void SimulatedCamera::FailAllPendingLocked(uint32_t status, bool trace, Completions& done) {
    for (std::deque<BulkTransfer*>* list : {&pendingReplies_, &pendingFrame_}) {
        for (BulkTransfer* t : *list) {
            if (trace) {
                FinishInLocked(t, status, 0, done);
            } else {
                done.push_back(Completion{t, status, 0});
            }
        }
        list->clear();
    }
    for (BulkTransfer* t : hung_) {
        if (trace && (t->endpoint & 0x80) != 0) {
            FinishInLocked(t, status, 0, done);
        } else {
            done.push_back(Completion{t, status, 0});
        }
    }
    hung_.clear();
}

void SimulatedCamera::FailPendingOnPipeLocked(int pipe, uint32_t status, Completions& done) {
    std::deque<BulkTransfer*>* list = pipe == 1 ? &pendingReplies_ : pipe == 2 ? &pendingFrame_ : nullptr;
    if (list != nullptr) {
        for (BulkTransfer* t : *list) FinishInLocked(t, status, 0, done);
        list->clear();
    }
    for (auto it = hung_.begin(); it != hung_.end();) {
        if (PipeIndexOf((*it)->endpoint) == pipe) {
            if (((*it)->endpoint & 0x80) != 0) {
                FinishInLocked(*it, status, 0, done);
            } else {
                done.push_back(Completion{*it, status, 0});
            }
            it = hung_.erase(it);
        } else {
            ++it;
        }
    }
}

void SimulatedCamera::AbandonFrameLocked() {
    if (activeFrame_ && activePos_ < activeFrame_->size()) ++counters_.framesAbandoned;
    activeFrame_.reset();
    activePos_ = 0;
    activeChunk_ = 0;
    frameRequested_ = false;
    ++frameEpoch_;
    changed_.notify_all();
}

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

// ---------------------------------------------------------------------------
// hostusb::UsbDevice

// One request: refused with kUsbdDeviceGone once the camera is unplugged
// (EnterRequestLocked), otherwise `body` runs under the lock and returns the
// status; the completions it queued run after the lock is released.
template <typename Body>
uint32_t SimulatedCamera::RunRequest(Body body) {
    Completions done;
    uint32_t status = kUsbdDeviceGone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (EnterRequestLocked(done)) status = body(done);
    }
    RunCompletions(done);
    return status;
}

uint32_t SimulatedCamera::ControlTransfer(const hostusb::SetupPacket& setup, uint8_t* data, uint32_t* transferred) {
    uint32_t moved = 0;
    const uint32_t status = RunRequest([&](Completions&) { return ControlTransferLocked(setup, data, &moved); });
    if (transferred != nullptr) *transferred = moved;
    return status;
}

uint32_t SimulatedCamera::ControlTransferLocked(const hostusb::SetupPacket& setup, uint8_t* data, uint32_t* moved) {
    if (setup.bmRequestType == kRequestTypeVendorOut) {
        trace_.Vendor(setup.bRequest, setup.wValue, setup.wLength, data);
        uint32_t status = DeviceRefusalLocked();
        if (status != kUsbdSuccess) return status;
        if ((setup.wLength != 0 && data == nullptr) || !memory_.Write(setup.bRequest, setup.wValue, data, setup.wLength))
            return kUsbdStallPid;
        *moved = setup.wLength;
        return kUsbdSuccess;
    }
    if (setup.bmRequestType == kRequestTypeStandardIn && setup.bRequest == kRequestGetDescriptor) {
        const uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
        const uint8_t index = static_cast<uint8_t>(setup.wValue & 0xFF);
        trace_.GetDescriptor(type, index, setup.wLength);
        uint32_t status = DeviceRefusalLocked();
        if (status != kUsbdSuccess) return status;
        std::vector<uint8_t> d;
        if (type == kDescriptorTypeDevice && index == 0) {
            d = descriptors_.device;
        } else if (type == kDescriptorTypeConfiguration && index == 0) {
            d = descriptors_.configuration;
        }
        if (d.empty() || (setup.wLength > 0 && data == nullptr)) return kUsbdStallPid;
        // A shorter request gets the first wLength bytes; a longer one the
        // whole descriptor.
        *moved = std::min<uint32_t>(setup.wLength, static_cast<uint32_t>(d.size()));
        if (*moved > 0) std::memcpy(data, d.data(), *moved);
        return kUsbdSuccess;
    }
    trace_.OtherControl(setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength);
    return kUsbdStallPid;
}

uint32_t SimulatedCamera::SetConfiguration(uint8_t configurationValue) {
    return RunRequest([&](Completions& done) { return SetConfigurationLocked(configurationValue, done); });
}

uint32_t SimulatedCamera::SetConfigurationLocked(uint8_t configurationValue, Completions& done) {
    if (configurationValue == 0) {
        trace_.Deconfigure();
    } else {
        trace_.SelectConfiguration(configurationValue);
    }
    uint32_t status = DeviceRefusalLocked();
    if (status != kUsbdSuccess) return status;
    if (configurationValue == 0) {
        // The endpoints go away: what was in flight ends, a frame part-way
        // is lost, unread replies are dropped.
        configured_ = false;
        AbandonFrameLocked();
        replies_.clear();
        FailAllPendingLocked(kUsbdCanceled, true, done);
        return kUsbdSuccess;
    }
    if (configurationValue != kConfigurationValue) return kUsbdRequestFailed;
    configured_ = true;
    stalled_.fill(false);  // (re)configuring clears every halt
    return kUsbdSuccess;
}

uint32_t SimulatedCamera::ResetPipe(uint8_t endpoint) {
    const uint32_t status = RunRequest([&](Completions&) {
        const int pipe = PipeIndexOf(endpoint);
        trace_.ResetPipe(pipe, endpoint);
        uint32_t refusal = DeviceRefusalLocked();
        if (refusal != kUsbdSuccess) return refusal;
        if (pipe < 0) return kUsbdRequestFailed;
        stalled_[static_cast<size_t>(pipe)] = false;
        return kUsbdSuccess;
    });
    changed_.notify_all();
    return status;
}

void SimulatedCamera::SubmitBulk(BulkTransfer* t) {
    Completions done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int pipe = PipeIndexOf(t->endpoint);
        const bool in = (t->endpoint & 0x80) != 0;
        if (!EnterRequestLocked(done)) {
            done.push_back(Completion{t, kUsbdDeviceGone, 0});
        } else if (!in) {
            trace_.BulkOut(pipe, t->endpoint, t->length, t->buffer);
            uint32_t refusal = DeviceRefusalLocked();
            if (refusal != kUsbdSuccess) {
                done.push_back(Completion{t, refusal, 0});
            } else if (!configured_ || pipe != 0) {
                done.push_back(Completion{t, kUsbdRequestFailed, 0});
            } else if (stalled_[0]) {
                done.push_back(Completion{t, kUsbdStallPid, 0});
            } else if (faults_.hangRequests > 0) {
                --faults_.hangRequests;
                hung_.push_back(t);
                changed_.notify_all();  // WaitForPendingTransfers counts it
            } else if (faults_.rejectCommands) {
                if (faults_.rejectShortBytes == 0) {
                    done.push_back(Completion{t, faults_.rejectStatus, 0});
                } else {
                    done.push_back(Completion{t, kUsbdSuccess, std::min(faults_.rejectShortBytes, t->length)});
                }
            } else {
                // A transfer longer than one packet carries several commands;
                // a short last packet reads as zero-padded.
                for (uint32_t off = 0; off < t->length; off += kCommandPacketSize) {
                    uint8_t packet[kCommandPacketSize] = {};
                    std::memcpy(packet, t->buffer + off, std::min(kCommandPacketSize, t->length - off));
                    ProcessCommandLocked(packet);
                }
                done.push_back(Completion{t, kUsbdSuccess, t->length});
                MatchRepliesLocked(done);
            }
        } else {
            uint32_t refusal = DeviceRefusalLocked();
            if (refusal != kUsbdSuccess) {
                FinishInLocked(t, refusal, 0, done);
            } else if (!configured_ || pipe < 1) {
                FinishInLocked(t, kUsbdRequestFailed, 0, done);
            } else if (stalled_[static_cast<size_t>(pipe)]) {
                FinishInLocked(t, kUsbdStallPid, 0, done);
            } else if (pipe == 1) {
                if (faults_.hangRequests > 0) {
                    --faults_.hangRequests;
                    hung_.push_back(t);
                    changed_.notify_all();
                } else {
                    pendingReplies_.push_back(t);
                    MatchRepliesLocked(done);
                }
            } else {
                pendingFrame_.push_back(t);
                // Only a frame in progress takes the transfer now; waking the
                // frame thread for every transfer posted ahead of a frame
                // would cost two thread switches each.
                if (activeFrame_ || transferWaiters_ > 0) changed_.notify_all();
            }
        }
    }
    RunCompletions(done);
}

void SimulatedCamera::CancelBulk(BulkTransfer* t) {
    Completions done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto takeFrom = [&](auto& list) {
            auto it = std::find(list.begin(), list.end(), t);
            if (it == list.end()) return false;
            list.erase(it);
            return true;
        };
        if (takeFrom(pendingReplies_) || takeFrom(pendingFrame_) || takeFrom(hung_)) {
            if ((t->endpoint & 0x80) != 0) {
                FinishInLocked(t, kUsbdCanceled, 0, done);
            } else {
                done.push_back(Completion{t, kUsbdCanceled, 0});
            }
            changed_.notify_all();
        }
        // Not found: it has completed or its completer owns it already.
    }
    RunCompletions(done);
}

uint32_t SimulatedCamera::GetPortStatus(uint32_t* portStatus) {
    uint32_t bits = 0;
    const uint32_t status = RunRequest([&](Completions&) {
        trace_.GetPortStatus();
        bits = hostusb::kPortConnected | (portEnabled_ ? hostusb::kPortEnabled : 0);
        return kUsbdSuccess;
    });
    if (portStatus != nullptr) *portStatus = bits;
    return status;
}

uint32_t SimulatedCamera::ResetPort() {
    const uint32_t status = RunRequest([&](Completions&) {
        trace_.ResetPort();
        // A port reset re-enables the port; the host stack restores the
        // configuration it had, so the camera keeps its own.
        portEnabled_ = true;
        return kUsbdSuccess;
    });
    changed_.notify_all();
    return status;
}

// ---------------------------------------------------------------------------
// Commands and replies

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

// ---------------------------------------------------------------------------
// Frames

RenderParams SimulatedCamera::RenderParamsLocked() const {
    RenderParams p;
    p.rawFrameSize = rawFrameSize_;
    p.exposure = sensor_.Exposure();
    p.gain = sensor_.GlobalGain();
    p.noiseAmplitude = noise_;
    p.frameNumber = counters_.framesStarted + 1;
    return p;
}

bool SimulatedCamera::FrameMayStartLocked(Clock::time_point now, Clock::time_point* wakeAt) const {
    if (!frameRequested_ || activeFrame_ || !plugged_ || !configured_ || !portEnabled_) return false;
    if (faults_.sendNothing || rawFrameSize_ == 0) return false;
    if (held_ && stepCredits_ == 0) return false;
    if (TriggerModeLocked() && triggersLatched_ == 0) return false;
    if (frameRate_ > 0 && now < nextFrameAt_) {
        *wakeAt = nextFrameAt_;
        return false;
    }
    return true;
}

std::shared_ptr<const std::vector<uint8_t>> SimulatedCamera::RenderFrame(const std::shared_ptr<const Scene>& scene,
                                                                         const RenderParams& params) {
    if (params.noiseAmplitude == 0) {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        if (cacheFrame_ && cacheScene_ == scene && SameRender(cacheParams_, params)) return cacheFrame_;
    }
    auto frame = std::make_shared<const std::vector<uint8_t>>(RenderRawFrame(*scene, params));
    if (params.noiseAmplitude == 0) {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        cacheScene_ = scene;
        cacheParams_ = params;
        cacheFrame_ = frame;
    }
    return frame;
}

// Writes the stamp samples that fall into the chunk holding frame bytes
// [offset, offset + length). The frame itself is shared with the render
// cache, so the stamp goes into each transfer's copy instead.
void SimulatedCamera::StampChunk(uint64_t number, uint32_t offset, uint8_t* chunk, uint32_t length) {
    for (int k = 0; k < kFrameStampSamples; ++k) {
        const uint32_t at = kRawDataOffset + k;
        if (at >= offset && at - offset < length)
            chunk[at - offset] = (number >> k) & 1 ? kFrameStampOne : kFrameStampZero;
    }
}

// The camera's own thread: begins requested frames when their time comes and
// streams the frame in progress into the pending pipe-2 transfers, first
// submitted first, each getting min(its length, what is left).
void SimulatedCamera::FrameThread() {
    pthread_setname_np(pthread_self(), "sim-frames");
    // This thread stands for the camera and its transfers on the bus, which
    // take no processor time from the host. Unpaced it copies frames without
    // pause; at a lower priority it gives way to the host's threads when the
    // machine is busy instead of taking turns with them.
    hostk::LowerThreadPriority();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (activeFrame_ && !pendingFrame_.empty() && plugged_ && configured_ && portEnabled_) {
            BulkTransfer* t = pendingFrame_.front();
            pendingFrame_.pop_front();
            std::shared_ptr<const std::vector<uint8_t>> frame = activeFrame_;
            const uint32_t offset = activePos_;
            const uint32_t n = std::min(t->length, static_cast<uint32_t>(frame->size()) - offset);
            const bool fail = activeFailChunk_ && activeChunk_ == activeFailIndex_;
            // A failed transfer's bytes are lost, not moved to the next
            // transfer, so the rest of the frame stays where the host's
            // transfers expect it.
            activePos_ += n;
            ++activeChunk_;
            uint32_t status = kUsbdSuccess;
            uint32_t moved = n;
            if (fail) {
                status = activeFailStatus_;
                moved = 0;
                ++counters_.frameChunksFailed;
            }
            counters_.frameBytesSent += moved;
            trace_.BulkIn(kFrameEndpointPipe, t->endpoint, t->length, moved);
            // The last byte is out: no later transfer belongs to this frame.
            // The frame counts as sent once its last transfer has completed.
            const bool last = activePos_ >= frame->size();
            if (last) activeFrame_.reset();
            const bool stamp = stampFrames_;
            const uint64_t number = activeNumber_;
            lock.unlock();
            if (moved > 0) std::memcpy(t->buffer, frame->data() + offset, moved);
            if (stamp) StampChunk(number, offset, t->buffer, moved);
            t->Complete(status, moved);
            lock.lock();
            if (last) {
                ++counters_.framesSent;
                changed_.notify_all();
                if (faults_.unplugAfterFrames > 0 && --faults_.unplugAfterFrames == 0) {
                    faults_.unplugAfterFrames = -1;
                    Completions done;
                    if (plugged_) UnplugLocked(done);
                    lock.unlock();
                    RunCompletions(done);
                    lock.lock();
                }
            }
            continue;
        }

        Clock::time_point wakeAt{};
        if (FrameMayStartLocked(Clock::now(), &wakeAt)) {
            if (held_) --stepCredits_;
            if (TriggerModeLocked()) --triggersLatched_;
            frameRequested_ = false;
            const uint64_t epoch = ++frameEpoch_;
            const RenderParams params = RenderParamsLocked();
            const std::shared_ptr<const Scene> scene = scene_;
            const Clock::time_point startedAt = Clock::now();
            lock.unlock();
            std::shared_ptr<const std::vector<uint8_t>> frame =
                RenderFrame(PictureOfFrame(scene, params.frameNumber), params);
            lock.lock();
            if (epoch != frameEpoch_) continue;  // a Command02 or unplug overtook the render
            activeFrame_ = frame;
            activePos_ = 0;
            activeChunk_ = 0;
            activeFailChunk_ = faults_.failChunkFrames > 0;
            if (activeFailChunk_) {
                --faults_.failChunkFrames;
                activeFailIndex_ = faults_.failChunkIndex;
                activeFailStatus_ = faults_.failChunkStatus;
            }
            lastFrame_ = frame;
            activeNumber_ = ++counters_.framesStarted;
            if (frameRate_ > 0) {
                nextFrameAt_ = startedAt + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / frameRate_));
            }
            changed_.notify_all();
            continue;
        }

        if (wakeAt != Clock::time_point{}) {
            changed_.wait_until(lock, wakeAt);
        } else {
            changed_.wait(lock);
        }
    }
}

// ---------------------------------------------------------------------------
// Picture, pacing, trigger

void SimulatedCamera::SetScene(std::shared_ptr<const Scene> scene) {
    if (!scene) return;
    std::lock_guard<std::mutex> lock(mutex_);
    scene_ = std::move(scene);
}

bool SimulatedCamera::SetScene(const std::string& spec, std::string* error) {
    std::shared_ptr<const Scene> scene = Scene::Parse(spec, error);
    if (!scene) return false;
    SetScene(std::move(scene));
    return true;
}

std::shared_ptr<const Scene> SimulatedCamera::CurrentScene() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scene_;
}

void SimulatedCamera::SetFrameRate(double fps) {
    std::lock_guard<std::mutex> lock(mutex_);
    frameRate_ = fps > 0 ? fps : 0;
    nextFrameAt_ = Clock::time_point{};
    changed_.notify_all();
}

double SimulatedCamera::FrameRate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frameRate_;
}

void SimulatedCamera::SetNoise(uint32_t amplitude) {
    std::lock_guard<std::mutex> lock(mutex_);
    noise_ = amplitude;
}

void SimulatedCamera::SetFrameStamp(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    stampFrames_ = on;
}

void SimulatedCamera::HoldFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
    stepCredits_ = 0;
}

void SimulatedCamera::ReleaseFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    stepCredits_ = 0;
    changed_.notify_all();
}

void SimulatedCamera::StepFrames(uint32_t frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    stepCredits_ += frames;
    changed_.notify_all();
}

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

// ---------------------------------------------------------------------------
// State for tests and the tool

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

RenderParams SimulatedCamera::CurrentRenderParams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return RenderParamsLocked();
}

std::vector<uint8_t> SimulatedCamera::ExpectedRawFrame() const {
    std::shared_ptr<const Scene> scene;
    RenderParams params;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scene = scene_;
        params = RenderParamsLocked();
    }
    return RenderRawFrame(*PictureOfFrame(scene, params.frameNumber), params);
}

std::vector<uint8_t> SimulatedCamera::ExpectedImage() const {
    std::shared_ptr<const Scene> scene;
    RenderParams params;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scene = scene_;
        params = RenderParamsLocked();
    }
    return RenderMosaic(*PictureOfFrame(scene, params.frameNumber), params);
}

std::shared_ptr<const std::vector<uint8_t>> SimulatedCamera::LastFrame() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastFrame_;
}

bool SimulatedCamera::WaitForFramesSent(uint64_t frames, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return counters_.framesSent >= frames; });
}

bool SimulatedCamera::WaitForFrameRequest(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frameRequested_ && !activeFrame_; });
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

// ---------------------------------------------------------------------------
// Trace

std::vector<std::string> SimulatedCamera::TraceLines() const { return trace_.Lines(); }
void SimulatedCamera::ClearTrace() { trace_.Clear(); }
bool SimulatedCamera::WriteTrace(FILE* file) const { return trace_.WriteTo(file); }
bool SimulatedCamera::WriteTrace(const std::string& path) const { return trace_.WriteTo(path); }
void SimulatedCamera::SetTraceOptions(const TraceOptions& options) { trace_.SetOptions(options); }
size_t SimulatedCamera::TraceDroppedLines() const { return trace_.DroppedLines(); }

// ---------------------------------------------------------------------------
// Faults

void SimulatedCamera::Unplug() {
    Completions done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (plugged_) UnplugLocked(done);
    }
    RunCompletions(done);
}

void SimulatedCamera::UnplugAfterRequests(uint32_t requests) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.unplugAfterRequests = requests;
}

void SimulatedCamera::UnplugAfterFrames(uint32_t frames) {
    Completions done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_.unplugAfterFrames = frames;
        if (frames == 0 && plugged_) UnplugLocked(done);
    }
    RunCompletions(done);
}

void SimulatedCamera::SetDescriptors(const DescriptorSet& descriptors) {
    std::lock_guard<std::mutex> lock(mutex_);
    descriptors_ = descriptors;
}

void SimulatedCamera::Replug() {
    Completions done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (plugged_) UnplugLocked(done);
        plugged_ = true;
        PowerOnLocked();
    }
    RunCompletions(done);
}

bool SimulatedCamera::Plugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

void SimulatedCamera::DisablePort() {
    Completions done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        portEnabled_ = false;
        FailAllPendingLocked(kUsbdDevNotResponding, true, done);
    }
    RunCompletions(done);
}

void SimulatedCamera::StallPipe(uint8_t endpoint) {
    Completions done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int pipe = PipeIndexOf(endpoint);
        if (pipe < 0) return;
        stalled_[static_cast<size_t>(pipe)] = true;
        FailPendingOnPipeLocked(pipe, kUsbdStallPid, done);
    }
    RunCompletions(done);
}

void SimulatedCamera::SetReplyFault(ReplyFault fault, uint32_t times, uint32_t bytes, int packet) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.replyFault = fault;
    faults_.replyFaultCount = fault == ReplyFault::kNone ? 0 : times;
    faults_.replyShortBytes = bytes;
    faults_.replyShortPacket = packet == 0 ? 0 : 1;
}

void SimulatedCamera::FailFrameChunk(uint32_t chunkIndex, uint32_t frames, uint32_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.failChunkIndex = chunkIndex;
    faults_.failChunkFrames = frames;
    faults_.failChunkStatus = status;
}

void SimulatedCamera::SetSendNothing(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.sendNothing = on;
    changed_.notify_all();
}

void SimulatedCamera::RejectCommands(bool on, uint32_t status, uint32_t shortBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.rejectCommands = on;
    faults_.rejectStatus = status;
    faults_.rejectShortBytes = shortBytes;
}

void SimulatedCamera::HangNextRequests(uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.hangRequests = count;
}

void SimulatedCamera::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = FaultPlan{};
    stalled_.fill(false);
    changed_.notify_all();
}

FaultPlan SimulatedCamera::Faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

// ---------------------------------------------------------------------------
// Summary

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
