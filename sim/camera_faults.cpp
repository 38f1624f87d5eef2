// The faults a test or the tool plants in the camera: unplugging, a disabled
// port, stalled pipes, reply, chunk and command faults, hung requests.
#include "sim/simulated_camera.h"

namespace sim {

using hostusb::kUsbdDevNotResponding;
using hostusb::kUsbdStallPid;

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

}  // namespace sim
