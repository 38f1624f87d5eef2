// The paced camera's frame schedule, driven by a made-up clock: the slots
// stay on the grid laid from the first frame whatever the wake-up latency or
// the host's lateness, and no slot takes two frames.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "sim/frame_schedule.h"

namespace {

using sim::FrameSchedule;
using Clock = FrameSchedule::Clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// An arbitrary moment well away from the clock's epoch.
const Clock::time_point kOrigin = Clock::time_point{} + std::chrono::hours(5);

// The slot index of a slot time, with the grid checked on the way.
uint64_t SlotOf(const FrameSchedule& schedule, Clock::time_point t) {
    const double periods = std::chrono::duration<double>(t - kOrigin).count() * schedule.Rate();
    const auto n = static_cast<uint64_t>(periods + 0.5);
    EXPECT_EQ(schedule.SlotTime(n), t) << "off the grid";
    return n;
}

TEST(FrameSchedule, UnpacedOrBeforeTheFirstFrameAFrameMayBeginAtOnce) {
    FrameSchedule schedule;
    EXPECT_EQ(schedule.NextStart(), Clock::time_point{});
    schedule.FrameBegun(kOrigin);
    EXPECT_EQ(schedule.NextStart(), Clock::time_point{});
    schedule.SetRate(30);
    EXPECT_EQ(schedule.NextStart(), Clock::time_point{});
    schedule.FrameBegun(kOrigin);
    EXPECT_EQ(schedule.NextStart(), schedule.SlotTime(1));
    // A new rate lays a new grid from the next frame.
    schedule.SetRate(10);
    EXPECT_EQ(schedule.NextStart(), Clock::time_point{});
    schedule.FrameBegun(kOrigin + milliseconds(7));
    EXPECT_EQ(schedule.NextStart(), kOrigin + milliseconds(107));
    schedule.SetRate(-1);
    EXPECT_EQ(schedule.Rate(), 0);
    EXPECT_EQ(schedule.NextStart(), Clock::time_point{});
}

// The camera's thread wakes a little after each slot (3 ms here, as on a
// busy machine). Measured from the previous start, every frame would add
// that latency to all that follow: after 3000 frames at 30 fps the camera
// would run 9 s behind, at 27.6 fps.
TEST(FrameSchedule, WakeUpLatencyDoesNotAddUpOverALongRun) {
    FrameSchedule schedule;
    schedule.SetRate(30);
    schedule.FrameBegun(kOrigin);
    const nanoseconds latency = milliseconds(3);
    for (uint64_t k = 1; k <= 3000; ++k) {
        const Clock::time_point slot = schedule.NextStart();
        ASSERT_EQ(slot, schedule.SlotTime(k)) << "frame " << k;
        schedule.FrameBegun(slot + latency);
    }
    // 3001 periods of 1/30 s from the first frame, to the nanosecond.
    EXPECT_EQ(schedule.NextStart() - kOrigin, nanoseconds(100033333333));
}

// A host that asks for each frame 1.5 periods after the last began gets it
// at once (it waits for nothing), in the slot it falls in: the slots stay on
// the grid, each taken once, so the camera never sends faster than its rate
// however the requests fall.
TEST(FrameSchedule, ALateRequestBeginsAtOnceInTheSlotItFallsIn) {
    FrameSchedule schedule;
    schedule.SetRate(20);  // 50 ms slots
    schedule.FrameBegun(kOrigin);
    Clock::time_point begun = kOrigin;
    uint64_t lastSlot = 0;
    for (int k = 1; k <= 1000; ++k) {
        const Clock::time_point asked = begun + milliseconds(75);
        ASSERT_LE(schedule.NextStart(), asked) << "a late frame waited, frame " << k;
        schedule.FrameBegun(asked);
        begun = asked;
        const uint64_t next = SlotOf(schedule, schedule.NextStart());
        // The frame took the slot it fell in: the next slot is the first
        // after the request, whole periods from the first frame.
        EXPECT_GT(schedule.NextStart(), asked);
        EXPECT_LE(schedule.NextStart() - asked, milliseconds(50));
        EXPECT_GT(next - 1, lastSlot) << "two frames in one slot, frame " << k;
        lastSlot = next - 1;
    }
    // 1000 frames, 75 ms apart: 75 s, so slot 1500 was the last one taken.
    EXPECT_EQ(lastSlot, 1500u);
}

// A frame that begins just inside a slot's end keeps the slot after it free,
// and one that begins exactly on a slot's edge takes that slot.
TEST(FrameSchedule, SlotEdgesFallToTheSlotThatBegins) {
    FrameSchedule schedule;
    schedule.SetRate(3);  // periods not a whole number of nanoseconds
    schedule.FrameBegun(kOrigin);
    schedule.FrameBegun(schedule.SlotTime(2) - nanoseconds(1));  // still slot 1
    EXPECT_EQ(schedule.NextStart(), schedule.SlotTime(2));
    schedule.FrameBegun(schedule.SlotTime(7));
    EXPECT_EQ(schedule.NextStart(), schedule.SlotTime(8));
    // Never before the slot it was allowed: a frame begun early (only a
    // caller that ignored NextStart does that) still moves on by one slot.
    schedule.FrameBegun(schedule.SlotTime(8) - milliseconds(100));
    EXPECT_EQ(schedule.NextStart(), schedule.SlotTime(9));
}

}  // namespace
