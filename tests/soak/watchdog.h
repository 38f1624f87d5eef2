// Fails a soak that hangs: every step the soak's threads take is timed, and
// a step still running after the limit ends the process through `onHang`
// (which must not return), since a thread stuck inside the driver cannot be
// recovered from.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace soak {

class Watchdog {
public:
    // One lane per thread that takes steps.
    static constexpr int kLanes = 2;

    Watchdog(std::chrono::milliseconds limit, std::function<void(const std::string& step)> onHang);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // `what` must be a string literal (it is read from the watchdog's thread).
    void Begin(int lane, const char* what);
    void End(int lane);

private:
    struct Lane {
        std::atomic<int64_t> startedNs{0};  // 0: idle
        std::atomic<const char*> what{""};
    };
    static int64_t NowNs();
    void Watch();

    const std::chrono::milliseconds limit_;
    const std::function<void(const std::string&)> onHang_;
    Lane lanes_[kLanes];
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// Times one step of a lane for as long as it lives.
class WatchedStep {
public:
    WatchedStep(Watchdog& watchdog, int lane, const char* what) : watchdog_(watchdog), lane_(lane) {
        watchdog_.Begin(lane, what);
    }
    ~WatchedStep() { watchdog_.End(lane_); }
    WatchedStep(const WatchedStep&) = delete;
    WatchedStep& operator=(const WatchedStep&) = delete;

private:
    Watchdog& watchdog_;
    int lane_;
};

}  // namespace soak
