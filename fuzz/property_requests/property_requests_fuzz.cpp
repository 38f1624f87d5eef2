// Fuzz target: property requests on the capture filter, interleaved with
// the pin's life. An input is a list of steps on one freshly started camera
// with its filter open, each a step byte and its arguments:
//   request      set GUID (the camera's set, KSPROPSETID_Pin, or 16 bytes of
//                the input), id, flags, the request's length and bytes, the
//                data buffer's length and bytes, and whether the request and
//                the data are one buffer (as a client may pass them);
//                Roi's 48-byte request is one of the lengths offered
//   pin          create the pin with the format it offers then, change its
//                state, queue a frame, or close it
// Each buffer lives in a block of exactly its length, so a read or write past
// one is a heap overflow.
//
// What must hold: a request never reports more bytes than its data buffer
// holds, and never changes the caller's request buffer unless it is the data
// buffer too; every step keeps the platform's rules; closing and unplugging
// leave nothing behind.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "driver/camera/property_set.h"
#include "fuzz/support/fuzzed_driver.h"
#include "fuzz/support/fuzz_input.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr const char* kTarget = "property_requests";
constexpr size_t kMaxSteps = 24;
constexpr ULONG kImageBytes = 1600 * 1200 * 4;

// KSPROPSETID_Pin: a set the class knows and the filter does not offer.
const GUID kPinPropertySet = {STATIC_KSPROPSETID_Pin};

struct Session {
    fuzzing::FuzzedDriver driver;
    std::unique_ptr<hostks::KsFilter> filter;
    std::unique_ptr<hostks::KsPin> pin;
    std::deque<Bytes> frames;
};

ULONG Length(fuzzing::FuzzInput& in) {
    switch (in.Byte() % 6) {
    case 0: return 0;
    case 1: return sizeof(KSPROPERTY);
    case 2: return sizeof(CameraPropertyValue);
    case 3: return sizeof(CameraRoiValue);
    case 4: return in.Byte() % 64;
    default: return in.U16() % 256;
    }
}

ULONG Flags(fuzzing::FuzzInput& in) {
    switch (in.Byte() % 6) {
    case 0: return KSPROPERTY_TYPE_GET;
    case 1: return KSPROPERTY_TYPE_SET;
    case 2: return KSPROPERTY_TYPE_BASICSUPPORT;
    case 3: return KSPROPERTY_TYPE_SETSUPPORT;
    case 4: return KSPROPERTY_TYPE_TOPOLOGY | (in.Flag() ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET);
    default: return in.U32();
    }
}

void Request(Session& s, fuzzing::FuzzInput& in) {
    KSPROPERTY header{};
    switch (in.Byte() % 3) {
    case 0: header.Set = CameraPropertySetId; break;
    case 1: header.Set = kPinPropertySet; break;
    default: {
        Bytes guid = in.Bytes(sizeof(GUID));
        guid.resize(sizeof(GUID));
        std::memcpy(&header.Set, guid.data(), sizeof(GUID));
        break;
    }
    }
    header.Id = in.Flag() ? in.U32() : in.Byte() % (CameraPropertyCount + 2);
    header.Flags = Flags(in);

    const ULONG requestLength = Length(in);
    const ULONG dataLength = Length(in);
    const bool oneBuffer = in.Byte() % 4 == 0;
    // Past the header the request's bytes are the input's (Roi's fields, a
    // node id, anything); the header itself is cut to the request's length.
    Bytes request(reinterpret_cast<const uint8_t*>(&header), reinterpret_cast<const uint8_t*>(&header + 1));
    request.resize(requestLength);
    if (requestLength > sizeof header) {
        Bytes tail = in.Bytes(requestLength - sizeof header);
        std::copy(tail.begin(), tail.end(), request.begin() + sizeof header);
    }
    Bytes dataBuffer = in.Bytes(dataLength);
    dataBuffer.resize(dataLength);
    Bytes* data = oneBuffer ? &request : &dataBuffer;
    const ULONG dataSize = oneBuffer ? requestLength : dataLength;
    const Bytes requestBefore = request;

    ULONG returned = 0;
    const NTSTATUS status = s.filter->SendPropertyRequest(requestLength ? request.data() : nullptr, requestLength,
                                                          dataSize ? data->data() : nullptr, dataSize, &returned);
    if (NT_SUCCESS(status) && returned > dataSize)
        fuzzing::Violated(kTarget, "a request reported more bytes than its data buffer holds", returned);
    if (!oneBuffer && request != requestBefore) fuzzing::Violated(kTarget, "a request changed the caller's request");
}

void PinStep(Session& s, fuzzing::FuzzInput& in) {
    static const KSSTATE kStates[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN};
    switch (in.Byte() % 4) {
    case 0:
        // The format the pin offers now: a Roi set since changes it.
        if (!s.pin) {
            std::vector<Bytes> ranges = s.filter->DataRanges(0);
            Bytes format;
            if (!ranges.empty() && s.filter->Intersect(0, ranges[0].data(), &format) == STATUS_SUCCESS)
                s.filter->CreatePin(0, format.data(), &s.pin);
        }
        break;
    case 1: {
        const KSSTATE to = kStates[in.Byte() % 4];
        if (s.pin) s.pin->SetState(to);
        if (to == KSSTATE_STOP) s.frames.clear();
        break;
    }
    case 2:
        // A frame, so that a running pin has somewhere to put a picture
        // while the requests change what it is made of.
        if (s.pin && s.frames.size() < 2) {
            s.frames.emplace_back(kImageBytes, 0);
            if (s.pin->SubmitFrame(s.frames.back().data(), kImageBytes) != STATUS_PENDING) s.frames.pop_back();
        }
        break;
    default:
        if (s.pin) {
            NTSTATUS status = s.pin->Close();
            if (!NT_SUCCESS(status)) fuzzing::Violated(kTarget, "a pin's close failed", status);
            s.pin.reset();
            s.frames.clear();
        }
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Begin();
    fuzzing::FuzzInput in(data, size);
    Session s;
    s.filter = s.driver.PlugWithFilter(kTarget);

    for (size_t step = 0; step < kMaxSteps && !in.Empty(); ++step) {
        if (in.Byte() % 3 == 0) {
            PinStep(s, in);
        } else {
            Request(s, in);
        }
    }
    if (s.pin) s.pin->Close();
    s.pin.reset();
    s.frames.clear();
    s.driver.Finish(kTarget, &s.pin, &s.filter);
    return 0;
}
