// The frame pump: the camera's own thread, which begins each requested frame
// when the pacing, a hold or a trigger lets it, renders it from the scene and
// streams it into the pending frame-pipe transfers; and what the camera would
// send now.
#include "sim/simulated_camera.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

#include "host/kernel/threads.h"

namespace sim {

using hostusb::BulkTransfer;
using hostusb::kUsbdSuccess;

namespace {

constexpr int kFrameEndpointPipe = 2;

bool SameRender(const RenderParams& a, const RenderParams& b) {
    return a.rawFrameSize == b.rawFrameSize && a.exposure == b.exposure && a.gain == b.gain &&
           a.noiseAmplitude == b.noiseAmplitude;
}

}  // namespace

void SimulatedCamera::AbandonFrameLocked() {
    if (activeFrame_ && activePos_ < activeFrame_->size()) ++counters_.framesAbandoned;
    activeFrame_.reset();
    activePos_ = 0;
    activeChunk_ = 0;
    frameRequested_ = false;
    ++frameEpoch_;
    changed_.notify_all();
}

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
    if (schedule_.Rate() > 0 && now < schedule_.NextStart()) {
        *wakeAt = schedule_.NextStart();
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
            schedule_.FrameBegun(startedAt);
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

void SimulatedCamera::SetFrameRate(double fps) {
    std::lock_guard<std::mutex> lock(mutex_);
    schedule_.SetRate(fps);
    changed_.notify_all();
}

double SimulatedCamera::FrameRate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return schedule_.Rate();
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

RenderParams SimulatedCamera::CurrentRenderParams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return RenderParamsLocked();
}

// The scene is pictured outside the lock: a counter scene draws its digits.
std::shared_ptr<const Scene> SimulatedCamera::NextPicture(RenderParams* params) const {
    std::shared_ptr<const Scene> scene;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scene = scene_;
        *params = RenderParamsLocked();
    }
    return PictureOfFrame(scene, params->frameNumber);
}

std::vector<uint8_t> SimulatedCamera::ExpectedRawFrame() const {
    RenderParams params;
    const std::shared_ptr<const Scene> picture = NextPicture(&params);
    return RenderRawFrame(*picture, params);
}

std::vector<uint8_t> SimulatedCamera::ExpectedImage() const {
    RenderParams params;
    const std::shared_ptr<const Scene> picture = NextPicture(&params);
    return RenderMosaic(*picture, params);
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

}  // namespace sim
