// Plug and Play for one device on the host: runs the driver's entry once per
// driver object, then adds, starts, stops and removes a device the way the
// kernel streaming class does it for a real camera, above a USB stack.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/registry_store.h"
#include "host/ks/ks.h"
#include "host/usb/usb_stack.h"

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
    // IRP_MN_QUERY_STOP_DEVICE: the driver's QueryStop, or success when it
    // has none (the class then assumes the driver can commit to a stop).
    // Open filters and pins do not veto it.
    NTSTATUS QueryStop();
    // IRP_MN_STOP_DEVICE: the driver's Stop; filter factories made with
    // KSCREATE_ITEM_FREEONSTOP go. Filters and pins an application holds
    // stay as they are, in whatever state they are in.
    void Stop();
    // IRP_MN_REMOVE_DEVICE: stops a started device, then the driver's Remove,
    // then the device's bag is emptied. The PnP manager sends it only once
    // the last handle is closed: with filters still open the removal waits
    // for the last one's close and happens there.
    void Remove();
    // The camera was pulled out (IRP_MN_SURPRISE_REMOVAL): the driver's
    // SurpriseRemoval, then its Stop if started; no new filter can be
    // opened. Filters and pins an application holds stay open, their states
    // and queued frames untouched, until the application stops and closes
    // them; the removal follows the last close (at once when none is open).
    void SurpriseRemove();
    // Filters of this device the application holds open.
    size_t OpenFilters() const;
    bool RemovalPending() const;

    PKSDEVICE KsDevice();
    hostusb::UsbStack& UsbStack() { return stack_; }
    bool Added() const { return added_; }
    std::vector<FilterFactoryRecord> FilterFactories() const;
    hostk::RegistryStore& Registry() { return *registry_; }
    // Full path of the key PLUGPLAY_REGKEY_DRIVER opens for this device.
    const std::string& DriverKeyPath() const { return driverKey_; }

private:
    friend void FilterClosed(PKSDEVICE device);
    void FinishRemove();

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
