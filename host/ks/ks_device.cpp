// Device side of the kernel streaming stand-in: the KSDEVICE, its object bag
// and mutex, filter factories, and the Plug and Play sequence around them.
#include <mutex>
#include <vector>

#include "host/kernel/violations.h"
#include "host/ks/object_bag.h"
#include "host/ks/pnp.h"

namespace {

using hostks::ObjectBag;

constexpr ULONG kFactoryTag = 0x4B734666;  // 'KsFf'

struct FactoryEntry {
    hostks::FilterFactoryRecord record;
    FactoryEntry* next;
};

struct HostKsDevice {
    KSDEVICE device;  // first: the driver holds PKSDEVICE
    hostks::ClassMutex mutex{"device mutex"};
    ObjectBag bag;
    std::mutex factoryLock;
    FactoryEntry* factories = nullptr;
    hostks::PnpDevice* pnp = nullptr;
    // Open filter handles, and whether the device is leaving (surprise
    // removal, or a removal waiting for the last handle).
    std::mutex handlesLock;
    size_t openFilters = 0;
    bool leaving = false;
    bool removeWhenClosed = false;
};

HostKsDevice* Host(PKSDEVICE device) { return reinterpret_cast<HostKsDevice*>(device); }

void FreeFactories(HostKsDevice* host, bool onlyFreeOnStop) {
    std::lock_guard<std::mutex> hold(host->factoryLock);
    FactoryEntry** link = &host->factories;
    while (*link) {
        FactoryEntry* entry = *link;
        if (!onlyFreeOnStop || (entry->record.flags & KSCREATE_ITEM_FREEONSTOP)) {
            *link = entry->next;
            ExFreePoolWithTag(entry, kFactoryTag);
        } else {
            link = &entry->next;
        }
    }
}

}  // namespace

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING, const KSDEVICE_DESCRIPTOR* descriptor) {
    driverObject->DriverExtension = const_cast<KSDEVICE_DESCRIPTOR*>(descriptor);
    return STATUS_SUCCESS;
}

VOID KsAcquireDevice(PKSDEVICE device) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) hostk::ReportViolation("KsAcquireDevice above PASSIVE_LEVEL");
    Host(device)->mutex.Acquire();
}

VOID KsReleaseDevice(PKSDEVICE device) { Host(device)->mutex.Release(); }

PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT functionalDeviceObject) {
    return static_cast<PKSDEVICE>(functionalDeviceObject->DeviceExtension);
}

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor, PCWSTR,
                               PSECURITY_DESCRIPTOR, ULONG createItemFlags, PFNKSFILTERFACTORYPOWER,
                               PFNKSFILTERFACTORYPOWER, PKSFILTERFACTORY* filterFactory) {
    HostKsDevice* host = Host(KsGetDeviceForDeviceObject(deviceObject));
    auto* entry = static_cast<FactoryEntry*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FactoryEntry), kFactoryTag));
    if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> hold(host->factoryLock);
    *entry = FactoryEntry{{descriptor, createItemFlags}, host->factories};
    host->factories = entry;
    if (filterFactory) *filterFactory = reinterpret_cast<PKSFILTERFACTORY>(entry);
    return STATUS_SUCCESS;
}

namespace hostks {

ClassMutex& DeviceMutex(PKSDEVICE device) { return Host(device)->mutex; }

PKSDEVICE CreateBareDevice() {
    auto* host = new HostKsDevice;
    std::memset(&host->device, 0, sizeof host->device);
    host->device.Bag = &host->bag;
    host->bag.guard = &host->mutex;
    return &host->device;
}

void DestroyBareDevice(PKSDEVICE device) {
    HostKsDevice* host = Host(device);
    host->bag.Empty();
    delete host;
}

NTSTATUS FilterOpening(PKSDEVICE device) {
    HostKsDevice* host = Host(device);
    std::lock_guard<std::mutex> hold(host->handlesLock);
    if (host->leaving) return STATUS_DELETE_PENDING;
    ++host->openFilters;
    return STATUS_SUCCESS;
}

void FilterClosed(PKSDEVICE device) {
    HostKsDevice* host = Host(device);
    bool remove;
    {
        std::lock_guard<std::mutex> hold(host->handlesLock);
        --host->openFilters;
        remove = host->openFilters == 0 && host->removeWhenClosed;
    }
    // The last handle is gone: the remove IRP the PnP manager held back.
    if (remove) host->pnp->FinishRemove();
}

PnpDevice::PnpDevice(PDRIVER_INITIALIZE driverEntry, hostusb::UsbDevice* device, hostk::RegistryStore* registry)
    : driverEntry_(driverEntry),
      stack_(device),
      ownRegistry_(registry ? nullptr : std::make_unique<hostk::RegistryStore>()),
      registry_(registry ? registry : ownRegistry_.get()) {
    driverKey_ = hostk::BindDeviceRegistry(stack_.PhysicalDeviceObject(), registry_);
    static WCHAR path[] = {'Q', 'u', 'e', 'l', 'v', 'i', 'x', 0};
    UNICODE_STRING registryPath{14, 16, path};
    entryStatus_ = driverEntry_(&driver_, &registryPath);
    fdo_.DriverObject = &driver_;
    fdo_.StackSize = static_cast<CHAR>(stack_.PhysicalDeviceObject()->StackSize + 1);
}

PnpDevice::~PnpDevice() {
    Remove();
    // The device's records must outlive every handle to it; a harness that
    // drops the device under open handles would leave them dangling.
    if (added_) hostk::ReportViolation("device destroyed while an application holds %zu filter handles", OpenFilters());
    hostk::UnbindDeviceRegistry(stack_.PhysicalDeviceObject());
}

size_t PnpDevice::OpenFilters() const {
    auto* device = static_cast<PKSDEVICE>(fdo_.DeviceExtension);
    if (!device) return 0;
    HostKsDevice* host = Host(device);
    std::lock_guard<std::mutex> hold(host->handlesLock);
    return host->openFilters;
}

bool PnpDevice::RemovalPending() const {
    auto* device = static_cast<PKSDEVICE>(fdo_.DeviceExtension);
    if (!device) return false;
    HostKsDevice* host = Host(device);
    std::lock_guard<std::mutex> hold(host->handlesLock);
    return host->removeWhenClosed;
}

PKSDEVICE PnpDevice::KsDevice() { return static_cast<PKSDEVICE>(fdo_.DeviceExtension); }

NTSTATUS PnpDevice::Add() {
    if (added_ || !NT_SUCCESS(entryStatus_)) return STATUS_INVALID_DEVICE_STATE;
    auto* host = new HostKsDevice;
    std::memset(&host->device, 0, sizeof host->device);
    host->device.Descriptor = static_cast<const KSDEVICE_DESCRIPTOR*>(driver_.DriverExtension);
    host->device.Bag = &host->bag;
    host->bag.guard = &host->mutex;
    host->pnp = this;
    host->device.FunctionalDeviceObject = &fdo_;
    host->device.PhysicalDeviceObject = stack_.PhysicalDeviceObject();
    host->device.NextDeviceObject = stack_.PhysicalDeviceObject();
    host->device.SystemPowerState = PowerSystemWorking;
    host->device.DevicePowerState = PowerDeviceD0;
    fdo_.DeviceExtension = &host->device;
    NTSTATUS status = STATUS_SUCCESS;
    const KSDEVICE_DISPATCH* dispatch = host->device.Descriptor->Dispatch;
    if (dispatch && dispatch->Add) status = dispatch->Add(&host->device);
    if (!NT_SUCCESS(status)) {
        host->bag.Empty();
        delete host;
        fdo_.DeviceExtension = nullptr;
        return status;
    }
    added_ = true;
    return status;
}

NTSTATUS PnpDevice::Start() {
    if (!added_) return STATUS_INVALID_DEVICE_STATE;
    // The start request passes down first: the device is started below
    // before the class calls the driver's start.
    stack_.DeliverStart();
    PKSDEVICE device = KsDevice();
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    NTSTATUS status = (dispatch && dispatch->Start) ? dispatch->Start(device, nullptr, nullptr, nullptr) : STATUS_SUCCESS;
    if (NT_SUCCESS(status)) device->Started = TRUE;
    return status;
}

NTSTATUS PnpDevice::QueryStop() {
    if (!added_) return STATUS_INVALID_DEVICE_STATE;
    PKSDEVICE device = KsDevice();
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    return (dispatch && dispatch->QueryStop) ? dispatch->QueryStop(device, nullptr) : STATUS_SUCCESS;
}

void PnpDevice::Stop() {
    if (!added_) return;
    PKSDEVICE device = KsDevice();
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    if (dispatch && dispatch->Stop) dispatch->Stop(device, nullptr);
    FreeFactories(Host(device), true);
    device->Started = FALSE;
}

void PnpDevice::SurpriseRemove() {
    if (!added_) return;
    PKSDEVICE device = KsDevice();
    HostKsDevice* host = Host(device);
    {
        std::lock_guard<std::mutex> hold(host->handlesLock);
        if (host->leaving) return;
        host->leaving = true;
    }
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    if (dispatch && dispatch->SurpriseRemoval) dispatch->SurpriseRemoval(device, nullptr);
    if (device->Started) Stop();
    Remove();
}

void PnpDevice::Remove() {
    if (!added_) return;
    HostKsDevice* host = Host(KsDevice());
    {
        std::lock_guard<std::mutex> hold(host->handlesLock);
        host->leaving = true;
        if (host->openFilters > 0) {
            host->removeWhenClosed = true;  // sent when the last handle closes
            return;
        }
    }
    FinishRemove();
}

void PnpDevice::FinishRemove() {
    PKSDEVICE device = KsDevice();
    if (device->Started) Stop();
    const KSDEVICE_DISPATCH* dispatch = device->Descriptor->Dispatch;
    if (dispatch && dispatch->Remove) dispatch->Remove(device, nullptr);
    HostKsDevice* host = Host(device);
    FreeFactories(host, false);
    host->bag.Empty();
    delete host;
    fdo_.DeviceExtension = nullptr;
    added_ = false;
}

std::vector<FilterFactoryRecord> PnpDevice::FilterFactories() const {
    std::vector<FilterFactoryRecord> records;
    auto* device = static_cast<PKSDEVICE>(fdo_.DeviceExtension);
    if (!device) return records;
    HostKsDevice* host = Host(device);
    std::lock_guard<std::mutex> hold(host->factoryLock);
    for (FactoryEntry* entry = host->factories; entry; entry = entry->next) records.push_back(entry->record);
    return records;
}

}  // namespace hostks
