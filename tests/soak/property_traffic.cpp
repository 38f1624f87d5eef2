#include "tests/soak/property_traffic.h"

#include <chrono>
#include <climits>
#include <mutex>

#include "driver/camera/property_set.h"
#include "rig/camera_property.h"

namespace soak {

PropertyTraffic::PropertyTraffic(OpenFilters& open, uint64_t seed, Watchdog& watchdog, int lane)
    : open_(open), random_(seed), watchdog_(watchdog), lane_(lane), thread_([this] { Run(); }) {}

PropertyTraffic::~PropertyTraffic() {
    stopping_.store(true);
    thread_.join();
}

void PropertyTraffic::Run() {
    while (!stopping_.load()) {
        {
            std::shared_lock<std::shared_mutex> hold(open_.lock);
            if (!open_.filters.empty()) {
                ClientFilter& client = *open_.filters[random_() % open_.filters.size()];
                WatchedStep step(watchdog_, lane_, "a property request");
                if (random_() % 8 == 0) {
                    SendRoi(*client.filter);
                } else {
                    SendOne(*client.filter);
                }
                requests_.fetch_add(1);
            }
        }
        // Leaves the application room to take the exclusive lock.
        std::this_thread::sleep_for(std::chrono::microseconds(200 + random_() % 1500));
    }
}

LONG PropertyTraffic::RandomValue(ULONG id) {
    // The frame-read wait stays short, so that frame timeouts cost little.
    if (id == PropertyTimeout) return static_cast<LONG>(501 + random_() % 200);
    // Trigger mode holds every frame until a trigger comes; now and then.
    if (id == PropertyExTrigger) return random_() % 10 == 0 ? 1 : 0;
    switch (random_() % 8) {
    case 0: return static_cast<LONG>(random_() % 2);
    case 1: return -static_cast<LONG>(random_() % 1000) - 1;
    case 2: return random_() % 2 ? INT_MAX : INT_MIN;
    case 3: return static_cast<LONG>(random_() % 20000);
    default: return static_cast<LONG>(random_() % 1300);
    }
}

void PropertyTraffic::SendOne(hostks::KsFilter& filter) {
    const ULONG id = static_cast<ULONG>(random_() % CameraPropertyCount);
    const bool set = random_() % 2 == 0;
    LONG value = set ? RandomValue(id) : 0;
    // Refusals (a read-only id, a value out of range, a camera that is gone
    // or failing) are part of the traffic; only what they leave is checked.
    rig::SendCameraValue(filter, id, set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET, &value);
}

void PropertyTraffic::SendRoi(hostks::KsFilter& filter) {
    CameraRoiValue roi{};
    roi.Property.Set = CameraPropertySetId;
    roi.Property.Id = PropertyRoi;
    roi.Property.Flags = KSPROPERTY_TYPE_SET;
    roi.SubSample = static_cast<LONG>(random_() % 3);
    roi.X = static_cast<LONG>(random_() % 64);
    roi.Y = static_cast<LONG>(random_() % 64);
    // Mostly sizes the sensor can give, now and then ones it cannot.
    roi.Width = static_cast<LONG>(random_() % 10 == 0 ? random_() % 4000 : 8 + random_() % 1593);
    roi.Height = static_cast<LONG>(random_() % 10 == 0 ? random_() % 4000 : 8 + random_() % 1193);
    ULONG returned = 0;
    filter.SendPropertyRequest(&roi, sizeof roi, &roi, sizeof roi, &returned);
}

}  // namespace soak
