// Pin objects: creation with a data format (set-format with no old format,
// then Create), format changes on an existing pin, state changes stepped
// through the states in between, and close.
#include "host/kernel/violations.h"
#include "host/ks/ks_objects.h"

namespace hostks {
namespace {

const GUID kNullGuid = {STATIC_GUID_NULL};

bool GuidMatches(const GUID& offered, const GUID& asked) {
    return IsEqualGUID(offered, kNullGuid) || IsEqualGUID(asked, kNullGuid) || IsEqualGUID(offered, asked);
}

}  // namespace

const KSPIN_DESCRIPTOR_EX* PinFactory(const KSFILTER_DESCRIPTOR* descriptor, ULONG pinId) {
    if (pinId >= descriptor->PinDescriptorsCount) return nullptr;
    const ULONG size = descriptor->PinDescriptorSize ? descriptor->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const UCHAR*>(descriptor->PinDescriptors) +
                                                        static_cast<size_t>(pinId) * size);
}

bool FormatsAgree(const KSDATARANGE* range, const KSDATAFORMAT* format) {
    return GuidMatches(range->MajorFormat, format->MajorFormat) && GuidMatches(range->SubFormat, format->SubFormat) &&
           GuidMatches(range->Specifier, format->Specifier);
}

namespace {

// The first of the pin's data ranges whose major format, subformat and
// specifier agree with the format's (GUID_NULL matching anything).
const KSDATARANGE* MatchingRange(const KSPIN_DESCRIPTOR_EX* factory, const KSDATAFORMAT* format) {
    const KSPIN_DESCRIPTOR& pin = factory->PinDescriptor;
    for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
        const KSDATARANGE* range = pin.DataRanges[i];
        if (FormatsAgree(range, format)) return range;
    }
    return nullptr;
}

std::vector<uint8_t> CopyFormat(const KSDATAFORMAT* format) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(format);
    return std::vector<uint8_t>(bytes, bytes + format->FormatSize);
}

void SetDeviceState(HostPin* pin, KSSTATE state) {
    std::lock_guard<std::mutex> hold(pin->processLock);
    pin->pin.DeviceState = state;
}

void CheckPassive(const char* what) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) hostk::ReportViolation("%s returned above PASSIVE_LEVEL", what);
}

// Steps from the present state towards `to`, one state at a time; stops at
// the first transition the driver refuses. Called with the filter control
// mutex held, as the class holds it around SetDeviceState.
NTSTATUS StepState(HostPin* pin, KSSTATE to) {
    pin->pin.ClientState = to;
    const KSPIN_DISPATCH* dispatch = pin->pin.Descriptor->Dispatch;
    while (pin->pin.DeviceState != to) {
        KSSTATE from = pin->pin.DeviceState;
        KSSTATE next = static_cast<KSSTATE>(from < to ? from + 1 : from - 1);
        if (dispatch && dispatch->SetDeviceState) {
            NTSTATUS status = dispatch->SetDeviceState(&pin->pin, next, from);
            CheckPassive("SetDeviceState");
            if (!NT_SUCCESS(status)) {
                pin->pin.ClientState = from;
                return status;
            }
        }
        SetDeviceState(pin, next);
        // Frames queued before the pin could process are taken up when it
        // reaches a state where it can; frames still queued at stop go back
        // to the client.
        if (next == KSSTATE_STOP) FlushQueue(pin);
        if (QueueHasFrames(pin)) RequestProcessing(pin);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreatePinObject(HostFilter* filter, ULONG pinId, const KSDATAFORMAT* format, HostPin** result) {
    *result = nullptr;
    const KSPIN_DESCRIPTOR_EX* factory = PinFactory(filter->filter.Descriptor, pinId);
    if (!factory) return STATUS_INVALID_PARAMETER;
    if (!format || format->FormatSize < sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
    const KSDATARANGE* range = MatchingRange(factory, format);
    if (!range) return STATUS_NO_MATCH;
    {
        std::lock_guard<std::mutex> hold(filter->lock);
        if (filter->pinCount[pinId] >= factory->InstancesPossible) return STATUS_UNSUCCESSFUL;
        ++filter->pinCount[pinId];  // reserved; given back if the create fails
    }
    auto* host = new HostPin;
    host->filter = filter;
    host->factoryDescriptor = factory;
    host->file = FileObject{ObjectKind::kPin, filter, host};
    host->format = CopyFormat(format);
    KSPIN& pin = host->pin;
    pin.Descriptor = factory;
    pin.Bag = &host->bag;
    host->bag.guard = &filter->control;  // a pin's bag is guarded by its filter's control mutex
    pin.Id = pinId;
    pin.Communication = KSPIN_COMMUNICATION_SINK;  // the client connected to it
    pin.ConnectionIsExternal = TRUE;
    pin.ConnectionPriority = KSPRIORITY{0x40000000, 1};
    pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(host->format.data());
    pin.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
    pin.DataFlow = factory->PinDescriptor.DataFlow;
    pin.DeviceState = KSSTATE_STOP;
    pin.ResetState = KSRESET_END;
    pin.ClientState = KSSTATE_STOP;
    RegisterObject(&host->pin, filter->device, ObjectKind::kPin);

    const KSPIN_DISPATCH* dispatch = factory->Dispatch;
    NTSTATUS status = STATUS_SUCCESS;
    // Pins are created under their filter's control mutex, held for the
    // driver through SetDataFormat and Create.
    filter->control.Acquire();
    if (dispatch && dispatch->SetDataFormat) {
        status = dispatch->SetDataFormat(&pin, nullptr, nullptr, range, nullptr);
        CheckPassive("SetDataFormat");
    }
    if (NT_SUCCESS(status) && dispatch && dispatch->Create) {
        ObjectIrp create(&host->file, IRP_MJ_CREATE);
        status = dispatch->Create(&pin, &create.irp);
        CheckPassive("pin Create");
    }
    filter->control.Release();
    if (!NT_SUCCESS(status)) {
        host->bag.Empty();
        UnregisterObject(&host->pin);
        delete host;
        std::lock_guard<std::mutex> hold(filter->lock);
        --filter->pinCount[pinId];
        return status;
    }
    {
        std::lock_guard<std::mutex> hold(filter->lock);
        filter->pins.push_back(host);
    }
    StartProcessing(host);
    *result = host;
    return STATUS_SUCCESS;
}

NTSTATUS ChangePinFormat(HostPin* pin, const KSDATAFORMAT* format) {
    if (!format || format->FormatSize < sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
    ClassMutexHold control(pin->filter->control);
    const KSDATARANGE* range = MatchingRange(pin->factoryDescriptor, format);
    if (!range) return STATUS_NO_MATCH;
    // The driver sees the new format as ConnectionFormat and the previous one
    // as OldFormat; a refusal puts the previous one back.
    std::vector<uint8_t> previous = std::move(pin->format);
    pin->format = CopyFormat(format);
    pin->pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
    NTSTATUS status = STATUS_SUCCESS;
    const KSPIN_DISPATCH* dispatch = pin->pin.Descriptor->Dispatch;
    if (dispatch && dispatch->SetDataFormat) {
        status = dispatch->SetDataFormat(&pin->pin, reinterpret_cast<PKSDATAFORMAT>(previous.data()), nullptr,
                                         range, nullptr);
        CheckPassive("SetDataFormat");
    }
    if (!NT_SUCCESS(status)) {
        pin->format = std::move(previous);
        pin->pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
    }
    return status;
}

NTSTATUS ChangePinState(HostPin* pin, KSSTATE to) {
    if (to < KSSTATE_STOP || to > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
    ClassMutexHold control(pin->filter->control);
    return StepState(pin, to);
}

NTSTATUS ClosePinObject(HostPin* host) {
    {
        ClassMutexHold control(host->filter->control);
        // Closing a pin takes it to stop first; stop cannot be refused.
        NTSTATUS status = StepState(host, KSSTATE_STOP);
        if (!NT_SUCCESS(status)) {
            hostk::ReportViolation("pin refused the stop of its close (0x%08X)", static_cast<unsigned>(status));
            SetDeviceState(host, KSSTATE_STOP);
        }
    }
    StopProcessing(host);
    FlushQueue(host);
    NTSTATUS status = STATUS_SUCCESS;
    const KSPIN_DISPATCH* dispatch = host->pin.Descriptor->Dispatch;
    if (dispatch && dispatch->Close) {
        ClassMutexHold control(host->filter->control);
        ObjectIrp close(&host->file, IRP_MJ_CLOSE);
        status = dispatch->Close(&host->pin, &close.irp);
        CheckPassive("pin Close");
    }
    host->bag.Empty();
    SetMasterClock(host, nullptr);
    UnregisterObject(&host->pin);
    HostFilter* filter = host->filter;
    {
        std::lock_guard<std::mutex> hold(filter->lock);
        --filter->pinCount[host->pin.Id];
        for (auto it = filter->pins.begin(); it != filter->pins.end(); ++it) {
            if (*it == host) {
                filter->pins.erase(it);
                break;
            }
        }
    }
    for (QueuedFrame* frame : host->queue) delete frame;
    // Frames completed and never taken still reached the application.
    for (CompletedFrameRecord& frame : host->completed) HandBackFrame(host, &frame);
    delete host;
    return status;
}

}  // namespace hostks
