#include "sim/frame_schedule.h"

#include <cmath>

namespace sim {

void FrameSchedule::SetRate(double fps) {
    fps_ = fps > 0 ? fps : 0;
    started_ = false;
    slot_ = 0;
}

FrameSchedule::Clock::time_point FrameSchedule::NextStart() const {
    if (fps_ <= 0 || !started_) return Clock::time_point{};
    return SlotTime(slot_ + 1);
}

void FrameSchedule::FrameBegun(Clock::time_point now) {
    if (fps_ <= 0) return;
    if (!started_) {
        started_ = true;
        origin_ = now;
        slot_ = 0;
        return;
    }
    const uint64_t slot = SlotAt(now);
    slot_ = slot > slot_ ? slot : slot_ + 1;
}

// Each slot's time is worked out from the origin, never from the slot
// before it, so rounding cannot add up over a long run either.
FrameSchedule::Clock::time_point FrameSchedule::SlotTime(uint64_t n) const {
    return origin_ + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(static_cast<double>(n) / fps_));
}

uint64_t FrameSchedule::SlotAt(Clock::time_point now) const {
    if (now <= origin_) return 0;
    const double periods = std::chrono::duration<double>(now - origin_).count() * fps_;
    uint64_t n = static_cast<uint64_t>(std::floor(periods));
    // The floating-point guess may be one off at a slot's edge; SlotTime has
    // the last word.
    while (SlotTime(n + 1) <= now) ++n;
    while (n > 0 && SlotTime(n) > now) --n;
    return n;
}

}  // namespace sim
