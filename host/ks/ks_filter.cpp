// Filter objects: creation through a filter factory's descriptor, close, the
// IRPs addressed to a filter or a pin, KsGetDevice and KsGetFilterFromIrp,
// and property requests reaching the filter's automation table.
#include <unordered_map>

#include "host/kernel/violations.h"
#include "host/ks/ks_objects.h"

namespace hostks {
namespace {

// Which device each live filter and pin belongs to, for KsGetDevice.
std::mutex& ObjectsLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
struct ObjectEntry {
    PKSDEVICE device;
    ObjectKind kind;
};
std::unordered_map<const void*, ObjectEntry>& Objects() {
    static auto* objects = new std::unordered_map<const void*, ObjectEntry>;
    return *objects;
}

// The filter a KSFILTER or KSPIN belongs to: itself, or the pin's parent.
HostFilter* ControlOwner(PVOID object) {
    // Both records start with the public structure; which one it is was
    // recorded when the object was made.
    std::lock_guard<std::mutex> hold(ObjectsLock());
    auto found = Objects().find(object);
    if (found == Objects().end()) return nullptr;
    if (found->second.kind == ObjectKind::kFilter) return FilterRecord(static_cast<PKSFILTER>(object));
    return PinRecord(static_cast<PKSPIN>(object))->filter;
}

FileObject* FileOf(PIRP irp) {
    if (!irp || !irp->Tail.Overlay.CurrentStackLocation) return nullptr;
    return static_cast<FileObject*>(IoGetCurrentIrpStackLocation(irp)->FileObject);
}

}  // namespace

void RegisterObject(const void* object, PKSDEVICE device, ObjectKind kind) {
    std::lock_guard<std::mutex> hold(ObjectsLock());
    Objects()[object] = ObjectEntry{device, kind};
}

void UnregisterObject(const void* object) {
    std::lock_guard<std::mutex> hold(ObjectsLock());
    Objects().erase(object);
}

HostFilter* FilterRecord(PKSFILTER filter) { return reinterpret_cast<HostFilter*>(filter); }
HostPin* PinRecord(PKSPIN pin) { return reinterpret_cast<HostPin*>(pin); }

ObjectIrp::ObjectIrp(FileObject* target, UCHAR majorFunction) {
    std::memset(&irp, 0, sizeof irp);
    std::memset(&stack, 0, sizeof stack);
    irp.Type = 6;
    irp.Size = sizeof irp;
    irp.StackCount = 1;
    irp.CurrentLocation = 1;
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    irp.IoStatus.Status = STATUS_SUCCESS;
    stack.MajorFunction = majorFunction;
    stack.FileObject = target;
}

NTSTATUS OpenFilterObject(PKSDEVICE device, const KSFILTER_DESCRIPTOR* descriptor, HostFilter** result) {
    *result = nullptr;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) hostk::ReportViolation("filter created above PASSIVE_LEVEL");
    NTSTATUS opening = FilterOpening(device);
    if (!NT_SUCCESS(opening)) return opening;
    auto* host = new HostFilter;
    host->filter.Descriptor = descriptor;
    host->filter.Bag = &host->bag;
    host->bag.guard = &host->control;
    host->file = FileObject{ObjectKind::kFilter, host, nullptr};
    host->device = device;
    host->pinCount.assign(descriptor->PinDescriptorsCount, 0);
    RegisterObject(&host->filter, device, ObjectKind::kFilter);
    NTSTATUS status = STATUS_SUCCESS;
    if (descriptor->Dispatch && descriptor->Dispatch->Create) {
        // Filters are created under the device mutex and, below it, the new
        // filter's control mutex, both held for the driver.
        ClassMutexHold deviceMutex(DeviceMutex(host->device));
        ClassMutexHold controlMutex(host->control);
        ObjectIrp create(&host->file, IRP_MJ_CREATE);
        status = descriptor->Dispatch->Create(&host->filter, &create.irp);
    }
    if (!NT_SUCCESS(status)) {
        // A filter whose create failed is freed with what it put in its bag.
        host->bag.Empty();
        UnregisterObject(&host->filter);
        delete host;
        FilterClosed(device);
        return status;
    }
    *result = host;
    return STATUS_SUCCESS;
}

NTSTATUS CloseFilterObject(HostFilter* host) {
    // Pins keep their filter open: a filter closes after its last pin.
    for (;;) {
        HostPin* pin = nullptr;
        {
            std::lock_guard<std::mutex> hold(host->lock);
            if (!host->pins.empty()) pin = host->pins.back();
        }
        if (!pin) break;
        ClosePinObject(pin);
    }
    NTSTATUS status = STATUS_SUCCESS;
    const KSFILTER_DESCRIPTOR* descriptor = host->filter.Descriptor;
    if (descriptor->Dispatch && descriptor->Dispatch->Close) {
        ClassMutexHold deviceMutex(DeviceMutex(host->device));
        ClassMutexHold controlMutex(host->control);
        ObjectIrp close(&host->file, IRP_MJ_CLOSE);
        status = descriptor->Dispatch->Close(&host->filter, &close.irp);
    }
    host->bag.Empty();
    UnregisterObject(&host->filter);
    PKSDEVICE device = host->device;
    delete host;
    FilterClosed(device);
    return status;
}

NTSTATUS FilterPropertyRequest(HostFilter* host, PKSPROPERTY property, ULONG propertyLength, PVOID data,
                               ULONG dataLength, ULONG* bytesReturned) {
    if (IsPinPropertyRequest(property, propertyLength)) {
        ULONG returned = 0;
        NTSTATUS status = PinPropertyRequest(host, property, propertyLength, data, dataLength, &returned);
        if (bytesReturned) *bytesReturned = returned;
        return status;
    }
    ObjectIrp request(&host->file, IRP_MJ_DEVICE_CONTROL);
    request.stack.Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
    request.stack.Parameters.DeviceIoControl.Type3InputBuffer = property;
    request.stack.Parameters.DeviceIoControl.InputBufferLength = propertyLength;
    request.stack.Parameters.DeviceIoControl.OutputBufferLength = dataLength;
    request.irp.UserBuffer = data;
    request.irp.IoStatus.Information = 0;
    const KSAUTOMATION_TABLE* table = host->filter.Descriptor->AutomationTable;
    NTSTATUS status = KsPropertyHandler(&request.irp, table ? table->PropertySetsCount : 0,
                                        table ? table->PropertySets : nullptr);
    if (bytesReturned) *bytesReturned = static_cast<ULONG>(request.irp.IoStatus.Information);
    return status;
}

}  // namespace hostks

PKSDEVICE KsGetDevice(PVOID object) {
    std::lock_guard<std::mutex> hold(hostks::ObjectsLock());
    auto found = hostks::Objects().find(object);
    if (found == hostks::Objects().end()) {
        hostk::ReportViolation("KsGetDevice on an object the class does not know");
        return nullptr;
    }
    return found->second.device;
}

PKSFILTER KsGetFilterFromIrp(PIRP irp) {
    hostks::FileObject* file = hostks::FileOf(irp);
    return file ? &file->filter->filter : nullptr;
}

PKSPIN KsGetPinFromIrp(PIRP irp) {
    hostks::FileObject* file = hostks::FileOf(irp);
    return file && file->pin ? &file->pin->pin : nullptr;
}

PKSFILTER KsPinGetParentFilter(PKSPIN pin) { return &hostks::PinRecord(pin)->filter->filter; }

VOID KsAcquireControl(PVOID object) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) hostk::ReportViolation("KsAcquireControl above PASSIVE_LEVEL");
    hostks::HostFilter* filter = hostks::ControlOwner(object);
    if (!filter) {
        hostk::ReportViolation("KsAcquireControl on an object the class does not know");
        return;
    }
    filter->control.Acquire();
}

VOID KsReleaseControl(PVOID object) {
    hostks::HostFilter* filter = hostks::ControlOwner(object);
    if (!filter) {
        hostk::ReportViolation("KsReleaseControl on an object the class does not know");
        return;
    }
    filter->control.Release();
}
