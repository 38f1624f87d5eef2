// A capture pin that runs as under an application, its frames thrown away:
// what `quelvixcam serve --capture` keeps going so that the properties that
// answer from the pin and the pipeline (PinOpen among them) answer as they
// do while a program captures.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/ks/frame_buffer.h"
#include "host/ks/ks_client.h"

class DiscardingStream {
public:
    DiscardingStream() = default;
    DiscardingStream(const DiscardingStream&) = delete;
    DiscardingStream& operator=(const DiscardingStream&) = delete;
    ~DiscardingStream() { Stop(); }

    // Creates the pin with the format it offers, gives the graph a clock,
    // runs it with as many frames queued as its framing asks for, and hands
    // every frame that comes back to the driver again, from a thread of its
    // own. False with the reason when any step is refused.
    bool Start(hostks::KsFilter& filter, std::string* error);
    // Ends the thread, then stops and closes the pin.
    void Stop();

private:
    void Recycle();

    std::unique_ptr<hostks::KsPin> pin_;
    hostks::ReferenceClock clock_;
    std::vector<std::unique_ptr<hostks::FrameBuffer>> frames_;
    ULONG frameSize_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
