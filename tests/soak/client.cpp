#include "tests/soak/client.h"

#include <chrono>

namespace soak {
namespace {

constexpr size_t kGuardBytes = 4096;
constexpr uint8_t kGuardByte = 0xA5;

}  // namespace

FrameBuffer::FrameBuffer(ULONG size) : size_(size), bytes_(size + kGuardBytes, kGuardByte) {}

bool FrameBuffer::GuardIntact() const {
    for (size_t i = size_; i < bytes_.size(); ++i)
        if (bytes_[i] != kGuardByte) return false;
    return true;
}

ULONG FramingSize(const hostks::KsPin& pin) {
    return pin.Framing().FramingItem[0].FramingRange.Range.MaxFrameSize;
}

void SubmitFreeBuffers(ClientPin& client, uint64_t random) {
    const ULONG wanted = FramingSize(*client.pin);
    if (wanted == 0) return;
    for (auto& buffer : client.buffers) {
        if (buffer->queued) continue;
        ULONG size = wanted;
        switch (random++ % 16) {
        case 0: size = wanted - wanted / 3; break;
        case 1: size = wanted + 4096; break;
        default: break;
        }
        if (buffer->Size() != size) buffer = std::make_unique<FrameBuffer>(size);
        // Refused in stop (STATUS_INVALID_DEVICE_STATE): the buffer stays free.
        if (client.pin->SubmitFrame(buffer->Data(), buffer->Size()) == STATUS_PENDING) buffer->queued = true;
    }
}

bool CollectFrames(ClientPin& client, std::chrono::milliseconds wait, uint64_t* delivered, std::string* error) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        hostks::CompletedFrame frame;
        if (!client.pin->WaitForFrame(&frame, left.count() > 0 ? left : std::chrono::milliseconds(0))) return true;
        FrameBuffer* owner = nullptr;
        for (auto& buffer : client.buffers)
            if (buffer->Data() == frame.data) owner = buffer.get();
        if (!owner || !owner->queued) {
            *error = "the pin handed back a frame that was not queued";
            return false;
        }
        owner->queued = false;
        if (frame.dataUsed > owner->Size()) {
            *error = "a frame claims " + std::to_string(frame.dataUsed) + " bytes of a " +
                     std::to_string(owner->Size()) + "-byte buffer";
            return false;
        }
        if (!owner->GuardIntact()) {
            *error = "a frame was written past the end of its " + std::to_string(owner->Size()) + "-byte buffer";
            return false;
        }
        if (frame.status == STATUS_SUCCESS && frame.dataUsed > 0) ++*delivered;
    }
}

bool ClosePin(ClientPin& client, std::string* error) {
    client.pin->Close();
    // Queued buffers came back with the close; none may have been overrun.
    for (auto& buffer : client.buffers) {
        if (!buffer->GuardIntact()) {
            *error = "a frame was written past the end of its buffer before the pin closed";
            return false;
        }
    }
    if (client.clock.References() != 1) {
        *error = "the closed pin still holds " + std::to_string(client.clock.References() - 1) +
                 " references to the graph's clock";
        return false;
    }
    return true;
}

}  // namespace soak
