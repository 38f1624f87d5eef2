// The soak's second thread: property gets and sets on whichever filter the
// application has open, Roi changes among them, at any moment - while pins
// change state, formats change, the camera fails or is pulled out.
#pragma once

#include <atomic>
#include <cstdint>
#include <random>
#include <shared_mutex>
#include <thread>

#include "tests/soak/client.h"
#include "tests/soak/watchdog.h"

namespace soak {

// The application's open filters. The property thread uses one under a
// shared lock; the application closes one only under the exclusive lock, as
// an application must not close a handle another of its threads is using.
struct OpenFilters {
    std::shared_mutex lock;
    std::vector<std::unique_ptr<ClientFilter>> filters;
};

class PropertyTraffic {
public:
    PropertyTraffic(OpenFilters& open, uint64_t seed, Watchdog& watchdog, int lane);
    ~PropertyTraffic();  // stops the thread
    PropertyTraffic(const PropertyTraffic&) = delete;
    PropertyTraffic& operator=(const PropertyTraffic&) = delete;

    uint64_t Requests() const { return requests_.load(); }

private:
    void Run();
    void SendOne(hostks::KsFilter& filter);
    void SendRoi(hostks::KsFilter& filter);
    LONG RandomValue(ULONG id);

    OpenFilters& open_;
    std::mt19937_64 random_;
    Watchdog& watchdog_;
    const int lane_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> requests_{0};
    std::thread thread_;
};

}  // namespace soak
