// The camera's endpoints: the control requests, configuration, pipe and port
// resets, bulk transfers routed by pipe (commands to the controller, reply
// and frame reads queued until there is something to send), cancellation,
// and the completions of all of them, run after the camera's lock is let go.
#include "sim/simulated_camera.h"

#include <algorithm>
#include <cstring>

namespace sim {

using hostusb::BulkTransfer;
using hostusb::kUsbdCanceled;
using hostusb::kUsbdDeviceGone;
using hostusb::kUsbdDevNotResponding;
using hostusb::kUsbdRequestFailed;
using hostusb::kUsbdStallPid;
using hostusb::kUsbdSuccess;

namespace {

constexpr uint8_t kRequestTypeVendorOut = 0x40;
constexpr uint8_t kRequestTypeStandardIn = 0x80;
constexpr uint8_t kRequestGetDescriptor = 6;

}  // namespace

void SimulatedCamera::RunCompletions(const Completions& done) {
    for (const Completion& c : done) c.transfer->Complete(c.status, c.actual);
}

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

void SimulatedCamera::SetDescriptors(const DescriptorSet& descriptors) {
    std::lock_guard<std::mutex> lock(mutex_);
    descriptors_ = descriptors;
}

}  // namespace sim
