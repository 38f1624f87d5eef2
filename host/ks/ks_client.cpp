// The client API over the stand-in's filter and pin objects.
#include "host/ks/ks_client.h"

#include "host/ks/ks_objects.h"

namespace hostks {

NTSTATUS PlugIn(PnpDevice& device) {
    NTSTATUS status = device.Add();
    if (!NT_SUCCESS(status)) return status;
    return device.Start();
}

void Unplug(PnpDevice& device) {
    if (device.OpenFilters() > 0) {
        // Pulled out under an application: surprise removal; the removal
        // itself follows the application's last close.
        device.SurpriseRemove();
        return;
    }
    device.Stop();
    device.Remove();
}

// ---- filter ----

NTSTATUS KsFilter::Open(PnpDevice& device, std::unique_ptr<KsFilter>* filter) {
    filter->reset();
    PKSDEVICE ksDevice = device.KsDevice();
    std::vector<FilterFactoryRecord> factories = device.FilterFactories();
    if (!ksDevice || factories.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    // The newest factory is listed first; a device with one factory has one.
    HostFilter* host = nullptr;
    NTSTATUS status = OpenFilterObject(ksDevice, factories.back().descriptor, &host);
    if (!NT_SUCCESS(status)) return status;
    filter->reset(new KsFilter);
    (*filter)->host_ = host;
    return status;
}

KsFilter::~KsFilter() { Close(); }

NTSTATUS KsFilter::Close() {
    if (!host_) return STATUS_SUCCESS;
    HostFilter* host = host_;
    host_ = nullptr;
    return CloseFilterObject(host);
}

ULONG KsFilter::PinFactoryCount() const { return host_ ? host_->filter.Descriptor->PinDescriptorsCount : 0; }

std::vector<std::vector<uint8_t>> KsFilter::DataRanges(ULONG pinId) const {
    std::vector<std::vector<uint8_t>> ranges;
    if (!host_ || pinId >= PinFactoryCount()) return ranges;
    // The class reads a filter's descriptor under its control mutex: that is
    // the mutex under which a driver edits the descriptor (KsEdit) at run time.
    ClassMutexHold control(host_->control);
    const KSPIN_DESCRIPTOR_EX* pin = PinFactory(host_->filter.Descriptor, pinId);
    for (ULONG i = 0; i < pin->PinDescriptor.DataRangesCount; ++i) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(pin->PinDescriptor.DataRanges[i]);
        ranges.emplace_back(bytes, bytes + pin->PinDescriptor.DataRanges[i]->FormatSize);
    }
    return ranges;
}

NTSTATUS KsFilter::Intersect(ULONG pinId, const void* callerRange, ULONG bufferSize, void* buffer,
                             ULONG* dataSize) {
    if (!host_) return STATUS_INVALID_DEVICE_STATE;
    return IntersectPinRange(host_, pinId, static_cast<const KSDATARANGE*>(callerRange), bufferSize, buffer,
                             dataSize);
}

NTSTATUS KsFilter::Intersect(ULONG pinId, const void* callerRange, std::vector<uint8_t>* format) {
    ULONG size = 0;
    NTSTATUS status = Intersect(pinId, callerRange, 0, nullptr, &size);
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    format->assign(size, 0);
    status = Intersect(pinId, callerRange, size, format->data(), &size);
    if (NT_SUCCESS(status)) format->resize(size);
    return status;
}

NTSTATUS KsFilter::CreatePin(ULONG pinId, const void* format, std::unique_ptr<KsPin>* pin) {
    pin->reset();
    if (!host_) return STATUS_INVALID_DEVICE_STATE;
    HostPin* host = nullptr;
    NTSTATUS status = CreatePinObject(host_, pinId, static_cast<const KSDATAFORMAT*>(format), &host);
    if (!NT_SUCCESS(status)) return status;
    pin->reset(new KsPin);
    (*pin)->host_ = host;
    return status;
}

NTSTATUS KsFilter::SendPropertyRequest(void* property, ULONG propertyLength, void* data, ULONG dataLength,
                                       ULONG* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    if (!host_) return STATUS_INVALID_DEVICE_STATE;
    return FilterPropertyRequest(host_, static_cast<PKSPROPERTY>(property), propertyLength, data, dataLength,
                                 bytesReturned);
}

PKSFILTER KsFilter::Object() { return host_ ? &host_->filter : nullptr; }

// ---- pin ----

KsPin::~KsPin() { Close(); }

NTSTATUS KsPin::Close() {
    if (!host_) return STATUS_SUCCESS;
    HostPin* host = host_;
    host_ = nullptr;
    return ClosePinObject(host);
}

NTSTATUS KsPin::SetState(KSSTATE state) {
    if (!host_) return STATUS_INVALID_DEVICE_STATE;
    return ChangePinState(host_, state);
}

KSSTATE KsPin::State() const {
    if (!host_) return KSSTATE_STOP;
    std::lock_guard<std::mutex> hold(host_->processLock);
    return host_->pin.DeviceState;
}

NTSTATUS KsPin::SetFormat(const void* format) {
    if (!host_) return STATUS_INVALID_DEVICE_STATE;
    return ChangePinFormat(host_, static_cast<const KSDATAFORMAT*>(format));
}

std::vector<uint8_t> KsPin::Format() const {
    if (!host_) return {};
    ClassMutexHold control(host_->filter->control);
    return host_->format;
}

void KsPin::SetClock(IKsReferenceClock* clock) {
    if (host_) SetMasterClock(host_, clock);
}

KSALLOCATOR_FRAMING_EX KsPin::Framing() const {
    KSALLOCATOR_FRAMING_EX framing{};
    if (host_ && host_->pin.Descriptor->AllocatorFraming) framing = *host_->pin.Descriptor->AllocatorFraming;
    return framing;
}

NTSTATUS KsPin::SubmitFrame(void* data, ULONG size, ULONG optionsFlags) {
    if (!host_) return STATUS_INVALID_DEVICE_STATE;
    return QueueFrame(host_, data, size, optionsFlags, nullptr);
}

bool KsPin::WaitForFrame(CompletedFrame* frame, std::chrono::milliseconds timeout) {
    if (!host_) return false;
    CompletedFrameRecord record;
    if (!TakeCompletedFrame(host_, &record, timeout.count())) return false;
    frame->status = record.status;
    frame->sequence = record.sequence;
    frame->data = static_cast<uint8_t*>(record.header.Data);
    frame->frameExtent = record.header.FrameExtent;
    frame->dataUsed = record.header.DataUsed;
    frame->presentationTime = record.header.PresentationTime.Time;
    frame->timeNumerator = record.header.PresentationTime.Numerator;
    frame->timeDenominator = record.header.PresentationTime.Denominator;
    frame->duration = record.header.Duration;
    frame->optionsFlags = record.header.OptionsFlags;
    return true;
}

size_t KsPin::QueuedFrames() const {
    if (!host_) return 0;
    std::lock_guard<std::mutex> hold(host_->queueLock);
    return host_->queue.size();
}

void KsPin::HoldProcessing(bool held) {
    if (host_) hostks::HoldProcessing(host_, held);
}

uint64_t KsPin::ProcessCalls() const {
    if (!host_) return 0;
    std::lock_guard<std::mutex> hold(host_->processLock);
    return host_->processCalls;
}

PKSPIN KsPin::Object() { return host_ ? &host_->pin : nullptr; }

}  // namespace hostks
