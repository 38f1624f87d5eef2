#include "tests/soak/watchdog.h"

namespace soak {

Watchdog::Watchdog(std::chrono::milliseconds limit, std::function<void(const std::string& step)> onHang)
    : limit_(limit), onHang_(std::move(onHang)), thread_([this] { Watch(); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

int64_t Watchdog::NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Watchdog::Begin(int lane, const char* what) {
    lanes_[lane].what.store(what);
    lanes_[lane].startedNs.store(NowNs());
}

void Watchdog::End(int lane) { lanes_[lane].startedNs.store(0); }

void Watchdog::Watch() {
    const int64_t limitNs = std::chrono::duration_cast<std::chrono::nanoseconds>(limit_).count();
    std::unique_lock<std::mutex> hold(lock_);
    while (!wake_.wait_for(hold, std::chrono::milliseconds(100), [this] { return stopping_; })) {
        for (Lane& lane : lanes_) {
            const int64_t started = lane.startedNs.load();
            if (started != 0 && NowNs() - started > limitNs) onHang_(lane.what.load());
        }
    }
}

}  // namespace soak
