// The driver's entry and its device descriptor: the streaming class owns the
// dispatch; the driver answers Add, Start and Stop and leaves the rest to the
// class's defaults.
#include "driver/device/device_dispatch.h"

namespace {

const KSDEVICE_DISPATCH DeviceDispatch = {
    DeviceAdd,    // Add
    DeviceStart,  // Start
    nullptr,      // PostStart
    nullptr,      // QueryStop
    nullptr,      // CancelStop
    DeviceStop,   // Stop
    nullptr,      // QueryRemove
    nullptr,      // CancelRemove
    nullptr,      // Remove
    nullptr,      // QueryCapabilities
    nullptr,      // SurpriseRemoval
    nullptr,      // QueryPower
    nullptr,      // SetPower
    nullptr,      // QueryInterface
};

}  // namespace

// No filter descriptors: DeviceStart creates the filter factory itself.
const KSDEVICE_DESCRIPTOR DeviceDescriptor = {
    &DeviceDispatch,  // Dispatch
    0,                // FilterDescriptorsCount
    nullptr,          // FilterDescriptors
    0,                // Version
    0,                // Flags
};

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    return KsInitializeDriver(driverObject, registryPath, &DeviceDescriptor);
}
