// Plug and Play's side of the registry: a device's physical device object
// is bound to a store, and its driver key (what PLUGPLAY_REGKEY_DRIVER
// opens) is the lowest instance under the Image class not bound right now.
#pragma once

#include <string>

#include "host/kernel/io.h"

namespace hostk {

class RegistryStore;

// The driver key of the Image device class, in which a camera's driver keeps
// its software settings; the instance number is appended ("\0000").
constexpr char kImageClassKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";

// Binds the device and creates its driver key, as installing the device
// would. Returns the key's path.
std::string BindDeviceRegistry(PDEVICE_OBJECT physicalDeviceObject, RegistryStore* store);
void UnbindDeviceRegistry(PDEVICE_OBJECT physicalDeviceObject);
// The store and driver key a device is bound to; false for an object that
// is not a bound physical device object.
bool BoundDeviceRegistry(PDEVICE_OBJECT physicalDeviceObject, RegistryStore** store, std::string* driverKey);

}  // namespace hostk
