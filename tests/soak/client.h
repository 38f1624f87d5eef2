// The soak's application: the filters and pins it holds open, with the frame
// buffers it hands the pin and takes back, each followed by a guard zone the
// driver must never write.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"

namespace soak {

class FrameBuffer {
public:
    explicit FrameBuffer(ULONG size);
    uint8_t* Data() { return bytes_.data(); }
    ULONG Size() const { return size_; }
    bool GuardIntact() const;
    bool queued = false;  // handed to the pin and not yet back

private:
    ULONG size_;
    std::vector<uint8_t> bytes_;
};

struct ClientPin {
    // Declared before the pin, so it outlives the pin's reference to it.
    hostks::ReferenceClock clock;
    std::unique_ptr<hostks::KsPin> pin;
    std::vector<std::unique_ptr<FrameBuffer>> buffers;
};

struct ClientFilter {
    std::unique_ptr<hostks::KsFilter> filter;
    std::unique_ptr<ClientPin> pin;
    uint64_t plug = 0;  // which plug-in of the camera it was opened on
};

// The frame buffer size the pin's framing asks for now (0 when it says none).
ULONG FramingSize(const hostks::KsPin& pin);

// Hands every buffer that is not queued to the pin, first making it the size
// the framing asks for now, or now and then a size off by a little (the
// driver must neither write past a short buffer nor mind a long one).
void SubmitFreeBuffers(ClientPin& pin, uint64_t random);

// Takes back the frames the pin completes within `wait`; false with *error
// when a frame is not one that was queued, claims more data than its buffer
// holds, or its guard zone was written.
bool CollectFrames(ClientPin& pin, std::chrono::milliseconds wait, uint64_t* delivered, std::string* error);

// Stops and closes the pin; false with *error when the pin kept a reference
// to the graph's clock, or a buffer did not come back whole.
bool ClosePin(ClientPin& pin, std::string* error);

}  // namespace soak
