// The stand-in's own records behind the KSFILTER and KSPIN it hands to the
// driver. Shared by the files of host/ks (filters, pins, processing, the
// frame queue, the clock, intersection) and by property_dispatch.cpp; not
// for the driver, which sees only the public structures, nor for clients,
// which use ks_client.h.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/ks/frame_mapping.h"
#include "host/ks/object_bag.h"

namespace hostks {

struct HostFilter;
struct HostPin;

// What an IRP's file object names: the object the request was sent to.
// KsGetFilterFromIrp and KsGetPinFromIrp read it back.
enum class ObjectKind : ULONG { kFilter = 1, kPin = 2 };

struct FileObject {
    ObjectKind kind;
    HostFilter* filter;  // the filter, or the pin's parent filter
    HostPin* pin;        // the pin, or null
};

// An IRP built on the caller's stack with one stack location, addressed to a
// filter or a pin (IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL).
struct ObjectIrp {
    IRP irp;
    IO_STACK_LOCATION stack;

    ObjectIrp(FileObject* target, UCHAR majorFunction);
};

struct HostFilter {
    KSFILTER filter{};  // first: the driver holds PKSFILTER
    ObjectBag bag;
    // The filter control mutex: guards the filter's and its pins' bags and
    // serialises creation, close, format and state changes of the filter and
    // its pins (the class holds it around those dispatches).
    ClassMutex control{"filter control mutex"};
    FileObject file{};
    PKSDEVICE device = nullptr;
    std::mutex lock;              // guards pinCount and pins
    std::vector<ULONG> pinCount;  // instances per pin factory
    std::vector<HostPin*> pins;   // open pins, oldest first
};

// A client frame buffer in the pin's queue. The header's Data is the
// application's address of the buffer (inaccessible to the driver); the
// stream pointer offers the system mapping.
struct QueuedFrame {
    KSSTREAM_HEADER header{};
    uint64_t sequence = 0;
    void* client = nullptr;  // the buffer as the client gave it
    std::shared_ptr<FrameMapping> mapping;  // null for an empty buffer
    bool copied = false;  // the client's own memory: leased from the pin's cache, copied in and out
};

// A frame handed back to the client: its header as the driver left it, or
// the status of a frame cancelled at stop. Until the client takes it, it
// keeps its mapping, which the hand-back checks and returns to the cache.
struct CompletedFrameRecord {
    KSSTREAM_HEADER header{};
    NTSTATUS status = STATUS_SUCCESS;
    uint64_t sequence = 0;
    std::shared_ptr<FrameMapping> mapping;
    bool copied = false;
};

struct HostStreamPointer {
    KSSTREAM_POINTER pointer{};  // first: the driver holds PKSSTREAM_POINTER
    HostPin* owner = nullptr;
    QueuedFrame* frame = nullptr;
    bool locked = false;
};

struct HostPin {
    KSPIN pin{};  // first: the driver holds PKSPIN
    ObjectBag bag;
    FileObject file{};
    HostFilter* filter = nullptr;
    const KSPIN_DESCRIPTOR_EX* factoryDescriptor = nullptr;  // the filter descriptor's entry
    std::vector<uint8_t> format;                             // ConnectionFormat points here

    // Processing: Process never runs twice at once, and runs on the pin's
    // own worker when asked asynchronously.
    std::mutex processLock;
    std::condition_variable processChanged;
    bool processPending = false;
    bool processRunning = false;
    bool processClosing = false;
    bool processHeld = false;  // the client's HoldProcessing
    uint64_t processCalls = 0;
    std::thread processWorker;

    // Mappings of the client's own frame buffers, kept across submissions.
    FrameMappingCache mappings;

    // The frame queue, front = leading edge.
    std::mutex queueLock;
    std::condition_variable queueChanged;
    std::deque<QueuedFrame*> queue;
    std::deque<CompletedFrameRecord> completed;
    HostStreamPointer leading;
    uint64_t nextSequence = 1;

    // The graph's clock as the client gave it (KSPROPERTY_STREAM_MASTERCLOCK).
    std::mutex clockLock;
    IKsReferenceClock* masterClock = nullptr;
};

HostFilter* FilterRecord(PKSFILTER filter);
// The device mutex (KsAcquireDevice) of a device (ks_device.cpp).
ClassMutex& DeviceMutex(PKSDEVICE device);
// An application opened / closed a filter of the device: the device's
// handle count. A removal waiting for the last handle happens at its close.
// FilterOpening refuses (STATUS_DELETE_PENDING) once the device is leaving.
NTSTATUS FilterOpening(PKSDEVICE device);
void FilterClosed(PKSDEVICE device);
// A class device with no driver or Plug and Play around it, for the
// stand-in's own tests of filters and pins.
PKSDEVICE CreateBareDevice();
void DestroyBareDevice(PKSDEVICE device);
HostPin* PinRecord(PKSPIN pin);

// Called from the files that create and destroy the objects.
void RegisterObject(const void* object, PKSDEVICE device, ObjectKind kind);
void UnregisterObject(const void* object);

// Processing (ks_processing.cpp).
void StartProcessing(HostPin* pin);
// Ends the worker; Process is not running when it returns and never runs again.
void StopProcessing(HostPin* pin);
// Processing requested by the class itself (a frame arriving, a state
// reached), subject to the same rules as KsPinAttemptProcessing.
void RequestProcessing(HostPin* pin);
// Holds asynchronous processing back (as a busy system would) until released.
void HoldProcessing(HostPin* pin, bool held);
// True when the pin's state lets Process run.
bool ProcessingAllowed(HostPin* pin);

// Frame queue (ks_queue.cpp).
NTSTATUS QueueFrame(HostPin* pin, PVOID data, ULONG size, ULONG optionsFlags, uint64_t* sequence);
// Completes every queued frame with STATUS_CANCELLED (the pin went to stop).
void FlushQueue(HostPin* pin);
bool QueueHasFrames(HostPin* pin);
// Waits up to timeoutMs for a completed frame and takes the oldest, handed
// back (HandBackFrame).
bool TakeCompletedFrame(HostPin* pin, CompletedFrameRecord* frame, int64_t timeoutMs);
// What the application receives with a completed frame: a frame delivered
// with data must not carry fresh pool where its data should be (memory the
// driver never wrote, handed to an application). Runs on the thread that
// takes the frame, never the driver's; releases the record's mapping.
void HandBackFrame(HostPin* pin, CompletedFrameRecord* frame);

}  // namespace hostks

namespace hostks {

// The requests a client makes, one function each (used by ks_client.cpp).
NTSTATUS OpenFilterObject(PKSDEVICE device, const KSFILTER_DESCRIPTOR* descriptor, HostFilter** filter);
// Closes the filter's pins first, then the filter.
NTSTATUS CloseFilterObject(HostFilter* filter);
// Pin factory `pinId` of a filter descriptor (its PinDescriptorSize steps
// over a driver's larger descriptors), or null past the last one.
const KSPIN_DESCRIPTOR_EX* PinFactory(const KSFILTER_DESCRIPTOR* descriptor, ULONG pinId);
// Whether a data range and a format (or another range) agree in major
// format, subformat and specifier, GUID_NULL matching anything.
bool FormatsAgree(const KSDATARANGE* range, const KSDATAFORMAT* format);
// KSPROPSETID_Pin on the filter, which the class answers itself
// (pin_properties.cpp).
bool IsPinPropertyRequest(const KSPROPERTY* property, ULONG propertyLength);
NTSTATUS PinPropertyRequest(HostFilter* filter, const KSPROPERTY* property, ULONG propertyLength, PVOID data,
                            ULONG dataLength, ULONG* returned);
NTSTATUS FilterPropertyRequest(HostFilter* filter, PKSPROPERTY property, ULONG propertyLength, PVOID data,
                               ULONG dataLength, ULONG* bytesReturned);
NTSTATUS IntersectPinRange(HostFilter* filter, ULONG pinId, const KSDATARANGE* range, ULONG bufferSize,
                           PVOID buffer, ULONG* dataSize);
NTSTATUS CreatePinObject(HostFilter* filter, ULONG pinId, const KSDATAFORMAT* format, HostPin** pin);
NTSTATUS ChangePinFormat(HostPin* pin, const KSDATAFORMAT* format);
NTSTATUS ChangePinState(HostPin* pin, KSSTATE to);
// Steps the pin down to stop, flushes its queue and closes it.
NTSTATUS ClosePinObject(HostPin* pin);
void SetMasterClock(HostPin* pin, IKsReferenceClock* clock);

}  // namespace hostks
