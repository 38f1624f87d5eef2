// The pin's frame queue: client buffers in arrival order, the leading edge
// stream pointer the driver locks and ejects, the completed frames going
// back to the client, and the flush at stop.
#include <chrono>
#include <cstring>

#include "host/ks/frame_buffer.h"
#include "host/kernel/violations.h"
#include "host/ks/ks_objects.h"

namespace hostks {
namespace {

HostStreamPointer* StreamPointerRecord(PKSSTREAM_POINTER pointer) {
    return reinterpret_cast<HostStreamPointer*>(pointer);
}

// Completes a frame to the client: a copied buffer receives what the driver
// wrote through the system mapping, and the header names the client's buffer
// again. The fresh-pool check waits for the hand-back, on the client's
// thread. Called with pin->queueLock held; frees the frame.
void CompleteFrame(HostPin* pin, QueuedFrame* frame, NTSTATUS status) {
    if (frame->copied && frame->client) std::memcpy(frame->client, frame->mapping->System(), frame->mapping->Bytes());
    CompletedFrameRecord record{frame->header, status, frame->sequence, std::move(frame->mapping), frame->copied};
    record.header.Data = frame->client;
    pin->completed.push_back(std::move(record));
    delete frame;
}

// The system view of the client's buffer: the pages of a FrameBuffer as they
// are, or the pin's kept mapping of the client's own memory with the
// client's bytes copied in.
bool MapClientBuffer(HostPin* pin, QueuedFrame* frame, PVOID data, ULONG size) {
    if (size == 0) return true;  // nothing to map; both addresses stay null
    frame->mapping = FindFrameBuffer(data, size);
    if (frame->mapping) return true;
    frame->mapping = pin->mappings.Lease(data, size);
    if (!frame->mapping) return false;
    frame->copied = true;
    if (data) std::memcpy(frame->mapping->System(), data, size);
    return true;
}

}  // namespace

NTSTATUS QueueFrame(HostPin* pin, PVOID data, ULONG size, ULONG optionsFlags, uint64_t* sequence) {
    {
        std::lock_guard<std::mutex> hold(pin->processLock);
        // A read on a stopped pin is refused, as the class does.
        if (pin->pin.DeviceState == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
    }
    auto* frame = new QueuedFrame;
    if (!MapClientBuffer(pin, frame, data, size)) {
        delete frame;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    frame->client = data;
    frame->header.Size = sizeof(KSSTREAM_HEADER);
    frame->header.PresentationTime.Numerator = 1;
    frame->header.PresentationTime.Denominator = 1;
    frame->header.FrameExtent = size;
    frame->header.Data = frame->mapping ? frame->mapping->Application() : nullptr;
    frame->header.OptionsFlags = optionsFlags;
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> hold(pin->queueLock);
        frame->sequence = pin->nextSequence++;
        wasEmpty = pin->queue.empty();
        pin->queue.push_back(frame);
    }
    if (sequence) *sequence = frame->sequence;
    // Pin-centric processing starts when a frame arrives in an empty queue.
    if (wasEmpty && !(pin->pin.Descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING)) RequestProcessing(pin);
    return STATUS_PENDING;
}

bool QueueHasFrames(HostPin* pin) {
    std::lock_guard<std::mutex> hold(pin->queueLock);
    return !pin->queue.empty();
}

void FlushQueue(HostPin* pin) {
    std::unique_lock<std::mutex> held(pin->queueLock);
    // A frame the driver holds locked is its own until it unlocks it.
    pin->queueChanged.wait(held, [pin] { return !pin->leading.locked; });
    while (!pin->queue.empty()) {
        QueuedFrame* frame = pin->queue.front();
        pin->queue.pop_front();
        CompleteFrame(pin, frame, STATUS_CANCELLED);
    }
    pin->queueChanged.notify_all();
}

bool TakeCompletedFrame(HostPin* pin, CompletedFrameRecord* frame, int64_t timeoutMs) {
    std::unique_lock<std::mutex> held(pin->queueLock);
    if (!pin->queueChanged.wait_for(held, std::chrono::milliseconds(timeoutMs),
                                    [pin] { return !pin->completed.empty(); }))
        return false;
    *frame = std::move(pin->completed.front());
    pin->completed.pop_front();
    held.unlock();
    HandBackFrame(pin, frame);
    return true;
}

void HandBackFrame(HostPin* pin, CompletedFrameRecord* frame) {
    if (!frame->mapping) return;
    if (frame->status == STATUS_SUCCESS) {
        const size_t extent = frame->header.FrameExtent;
        const size_t used = frame->header.DataUsed < extent ? frame->header.DataUsed : extent;
        long long at = FindFreshPoolFill(frame->mapping->System(), used);
        if (at >= 0)
            hostk::ReportViolation("frame %llu handed to the application holds unwritten pool at byte %lld",
                                   static_cast<unsigned long long>(frame->sequence), at);
    }
    if (frame->copied) pin->mappings.Return(frame->mapping);
    frame->mapping.reset();
}

}  // namespace hostks

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state) {
    hostks::HostPin* host = hostks::PinRecord(pin);
    std::lock_guard<std::mutex> hold(host->queueLock);
    if (host->queue.empty()) return nullptr;
    hostks::HostStreamPointer& leading = host->leading;
    // One leading edge per pin: it cannot be locked twice.
    if (leading.locked && state == KSSTREAM_POINTER_STATE_LOCKED) return nullptr;
    hostks::QueuedFrame* frame = host->queue.front();
    leading.owner = host;
    leading.frame = frame;
    leading.locked = state == KSSTREAM_POINTER_STATE_LOCKED;
    KSSTREAM_POINTER& pointer = leading.pointer;
    std::memset(&pointer, 0, sizeof pointer);
    pointer.Pin = pin;
    pointer.StreamHeader = &frame->header;
    KSSTREAM_POINTER_OFFSET& data = pin->DataFlow == KSPIN_DATAFLOW_OUT ? pointer.OffsetOut : pointer.OffsetIn;
    data.Data = frame->mapping ? frame->mapping->System() : nullptr;
    data.Count = frame->header.FrameExtent;
    data.Remaining = frame->header.FrameExtent;
    pointer.Offset = &data;
    return &pointer;
}

VOID KsStreamPointerUnlock(PKSSTREAM_POINTER streamPointer, BOOLEAN eject) {
    hostks::HostStreamPointer* leading = hostks::StreamPointerRecord(streamPointer);
    hostks::HostPin* host = leading->owner;
    std::lock_guard<std::mutex> hold(host->queueLock);
    if (!leading->locked) {
        hostk::ReportViolation("KsStreamPointerUnlock on a stream pointer that is not locked");
        return;
    }
    leading->locked = false;
    if (eject) {
        // Ejecting the leading edge's frame completes it to the client.
        hostks::QueuedFrame* frame = leading->frame;
        if (host->queue.empty() || host->queue.front() != frame) {
            hostk::ReportViolation("ejected frame is not at the leading edge");
        } else {
            host->queue.pop_front();
            hostks::CompleteFrame(host, frame, STATUS_SUCCESS);
        }
        leading->frame = nullptr;
    }
    host->queueChanged.notify_all();
}
