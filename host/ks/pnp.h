// Plug and Play for one device on the host: runs the driver's entry once per
// driver object, then adds, starts, stops and removes a device the way the
// kernel streaming class does it for a real camera, above a USB stack.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/registry_store.h"
#include "ks.h"
#include "usb/usb_stack.h"

namespace hostks {

struct FilterFactoryRecord {
    const KSFILTER_DESCRIPTOR* descriptor;
    ULONG flags;
};

class PnpDevice {
public:
    // `driverEntry` is the driver's DriverEntry; `device` the camera below;
    // `registry` the store that holds the device's driver key (it must
    // outlive this object). Without one the device gets a store of its own
    // in memory, empty each time, as for a freshly installed camera.
    PnpDevice(PDRIVER_INITIALIZE driverEntry, hostusb::UsbDevice* device, hostk::RegistryStore* registry = nullptr);
    ~PnpDevice();  // removes the device if it is still there
    PnpDevice(const PnpDevice&) = delete;
    PnpDevice& operator=(const PnpDevice&) = delete;

    NTSTATUS DriverEntryStatus() const { return entryStatus_; }
    NTSTATUS Add();
    NTSTATUS Start();
    void Stop();
    void Remove();

    PKSDEVICE KsDevice();
    hostusb::UsbStack& UsbStack() { return stack_; }
    bool Added() const { return added_; }
    std::vector<FilterFactoryRecord> FilterFactories() const;
    hostk::RegistryStore& Registry() { return *registry_; }
    // Full path of the key PLUGPLAY_REGKEY_DRIVER opens for this device.
    const std::string& DriverKeyPath() const { return driverKey_; }

private:
    PDRIVER_INITIALIZE driverEntry_;
    hostusb::UsbStack stack_;
    DRIVER_OBJECT driver_{};
    DEVICE_OBJECT fdo_{};
    NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
    bool added_ = false;
    std::unique_ptr<hostk::RegistryStore> ownRegistry_;
    hostk::RegistryStore* registry_;
    std::string driverKey_;
};

}  // namespace hostks
