// The client side of the kernel streaming stand-in: what a capture
// application and the KS proxy do with a camera's filter. Plug the camera in,
// open its filter, intersect a data range, create the capture pin with a
// format, give the graph a clock, supply frame buffers, change the pin's
// state, read completed frames, send property requests, close, unplug.
// The tool and the integration tests drive the driver through this API only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/ks/frame_buffer.h"
#include "host/ks/pnp.h"

namespace hostks {

struct HostFilter;
struct HostPin;

// Adds and starts the device (the camera arrives); the first failing status.
NTSTATUS PlugIn(PnpDevice& device);
// The camera leaves. With no filter open: stop, then remove. With filters
// an application still holds: surprise removal (the driver's Stop runs now),
// and the removal comes when the application closes the last of them.
void Unplug(PnpDevice& device);

// A graph clock in 100 ns units. It starts at 0 when made and follows the
// host's steady clock, or, made manual, stands still until Set or Advance.
// Counts its references so tests can see every AddRef released.
class ReferenceClock final : public IKsReferenceClock {
public:
    explicit ReferenceClock(bool manual = false);
    ReferenceClock(const ReferenceClock&) = delete;
    ReferenceClock& operator=(const ReferenceClock&) = delete;

    void Set(LONGLONG time);
    void Advance(LONGLONG units);
    LONG References() const { return references_.load(); }

    NTSTATUS NTAPI QueryInterface(REFIID interfaceId, PVOID* object) override;
    ULONG NTAPI AddRef() override;
    ULONG NTAPI Release() override;
    LONGLONG NTAPI GetTime() override;
    LONGLONG NTAPI GetPhysicalTime() override;
    LONGLONG NTAPI GetCorrelatedTime(PLONGLONG systemTime) override;
    LONGLONG NTAPI GetCorrelatedPhysicalTime(PLONGLONG systemTime) override;
    NTSTATUS NTAPI GetResolution(PKSRESOLUTION resolution) override;
    NTSTATUS NTAPI GetState(PKSSTATE state) override;

private:
    const bool manual_;
    const std::chrono::steady_clock::time_point start_;
    std::atomic<LONGLONG> manualTime_{0};
    std::atomic<LONG> references_{1};  // the maker's
};

// A frame the pin handed back: the stream header as the driver left it.
struct CompletedFrame {
    NTSTATUS status = STATUS_SUCCESS;  // STATUS_CANCELLED: returned unused at stop
    uint64_t sequence = 0;             // order of submission, from 1
    uint8_t* data = nullptr;
    ULONG frameExtent = 0;
    ULONG dataUsed = 0;
    LONGLONG presentationTime = 0;
    ULONG timeNumerator = 0;
    ULONG timeDenominator = 0;
    LONGLONG duration = 0;
    ULONG optionsFlags = 0;
};

class KsPin;

class KsFilter {
public:
    // Opens the filter of the device's (first) filter factory; fails with
    // STATUS_OBJECT_NAME_NOT_FOUND when the device offers none.
    static NTSTATUS Open(PnpDevice& device, std::unique_ptr<KsFilter>* filter);
    ~KsFilter();  // closes the filter (and its pins) if still open
    KsFilter(const KsFilter&) = delete;
    KsFilter& operator=(const KsFilter&) = delete;

    NTSTATUS Close();
    bool IsOpen() const { return host_ != nullptr; }

    ULONG PinFactoryCount() const;
    // Copies of the data ranges the pin factory offers, as they are now.
    std::vector<std::vector<uint8_t>> DataRanges(ULONG pinId) const;
    // The pin's data intersection (KSPROPERTY_PIN_DATAINTERSECTION) with one
    // caller's range: buffer size 0 asks for the size.
    NTSTATUS Intersect(ULONG pinId, const void* callerRange, ULONG bufferSize, void* buffer, ULONG* dataSize);
    // Both steps: asks the size, then fetches the format into *format.
    NTSTATUS Intersect(ULONG pinId, const void* callerRange, std::vector<uint8_t>* format);
    // Creates a pin instance connected with `format` (a KSDATAFORMAT followed
    // by its specifier's structure, FormatSize bytes in all).
    NTSTATUS CreatePin(ULONG pinId, const void* format, std::unique_ptr<KsPin>* pin);
    // A property request on the filter, with caller-built buffers (which may
    // be malformed on purpose). Reaches the filter's automation table through
    // KsPropertyHandler; *bytesReturned is the IRP's Information.
    NTSTATUS SendPropertyRequest(void* property, ULONG propertyLength, void* data, ULONG dataLength,
                                 ULONG* bytesReturned);

    PKSFILTER Object();

private:
    KsFilter() = default;
    HostFilter* host_ = nullptr;
    friend class KsPin;
};

class KsPin {
public:
    ~KsPin();  // closes the pin if still open
    KsPin(const KsPin&) = delete;
    KsPin& operator=(const KsPin&) = delete;

    // Takes the pin to stop (returning every queued frame) and closes it.
    NTSTATUS Close();
    bool IsOpen() const { return host_ != nullptr; }

    // Steps through the states in between; stops at the first refusal and
    // returns its status, the pin staying in the last state reached.
    NTSTATUS SetState(KSSTATE state);
    KSSTATE State() const;
    // A new format on the existing pin (KSPROPERTY_CONNECTION_DATAFORMAT).
    NTSTATUS SetFormat(const void* format);
    std::vector<uint8_t> Format() const;
    // The graph's clock (KSPROPERTY_STREAM_MASTERCLOCK); null takes it away.
    // The pin holds a reference while it has it.
    void SetClock(IKsReferenceClock* clock);
    // The pin's allocator framing as its descriptor declares it now.
    KSALLOCATOR_FRAMING_EX Framing() const;

    // Queues a frame buffer; it must stay valid until it comes back. A
    // FrameBuffer's memory goes to the driver as it is; any other memory is
    // copied into the pin's mapping of it and back on completion.
    // STATUS_PENDING when queued; STATUS_INVALID_DEVICE_STATE in stop.
    NTSTATUS SubmitFrame(void* data, ULONG size, ULONG optionsFlags = 0);
    // The oldest frame handed back, waiting up to `timeout`.
    bool WaitForFrame(CompletedFrame* frame, std::chrono::milliseconds timeout);
    // Frames queued and not yet handed back.
    size_t QueuedFrames() const;
    // Keeps the class from calling Process (requests are remembered) until
    // released: the processing worker of a busy system, for tests that need
    // frames to wait.
    void HoldProcessing(bool held);
    // Times the class has called the driver's Process dispatch.
    uint64_t ProcessCalls() const;

    PKSPIN Object();

private:
    KsPin() = default;
    HostPin* host_ = nullptr;
    friend class KsFilter;
};

}  // namespace hostks
