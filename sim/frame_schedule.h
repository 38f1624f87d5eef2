// When a paced camera may begin its frames. The slots lie on a fixed grid:
// slot n begins n periods after the first frame since the rate was set, and
// each slot takes at most one frame. A frame asked for before its slot
// waits for it; one asked for after its slot has passed (the host was slow)
// begins at once and takes the slot it falls in. Either way the slots after
// it stay where they were: the wake-up latency of one frame is never added
// to the next, so a run keeps the rate however long it goes on.
#pragma once

#include <chrono>
#include <cstdint>

namespace sim {

class FrameSchedule {
public:
    using Clock = std::chrono::steady_clock;

    // Frames per second; 0 or less is unpaced (every frame may begin at
    // once). The grid starts afresh at the next frame.
    void SetRate(double fps);
    double Rate() const { return fps_; }
    // The earliest time the next frame may begin: the slot after the latest
    // frame's, or the clock's epoch while unpaced or before the first frame.
    Clock::time_point NextStart() const;
    // A frame began at `now` (no earlier than NextStart()).
    void FrameBegun(Clock::time_point now);
    // When slot `n` of the present grid begins.
    Clock::time_point SlotTime(uint64_t n) const;

private:
    // The last slot that has begun by `now`.
    uint64_t SlotAt(Clock::time_point now) const;

    double fps_ = 0;
    bool started_ = false;
    Clock::time_point origin_{};  // slot 0: the first frame since SetRate
    uint64_t slot_ = 0;           // the latest frame's slot
};

}  // namespace sim
