#include "host/kernel/pnp_binding.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "host/kernel/registry_store.h"

namespace hostk {

namespace {

struct Binding {
    RegistryStore* store;
    std::string driverKey;
    unsigned instance;
};

std::mutex g_bindingLock;
std::map<PDEVICE_OBJECT, Binding>& Bindings() {
    static auto* bindings = new std::map<PDEVICE_OBJECT, Binding>;
    return *bindings;
}

}  // namespace

std::string BindDeviceRegistry(PDEVICE_OBJECT physicalDeviceObject, RegistryStore* store) {
    std::lock_guard<std::mutex> hold(g_bindingLock);
    auto& bindings = Bindings();
    unsigned instance = 0;
    for (bool taken = true; taken; ) {
        taken = false;
        for (const auto& entry : bindings) {
            if (entry.second.store == store && entry.second.instance == instance) taken = true;
        }
        if (taken) ++instance;
    }
    char number[16];
    std::snprintf(number, sizeof number, "\\%04u", instance);
    std::string driverKey = std::string(kImageClassKey) + number;
    bindings[physicalDeviceObject] = Binding{store, driverKey, instance};
    store->CreateKey(driverKey);
    return driverKey;
}

void UnbindDeviceRegistry(PDEVICE_OBJECT physicalDeviceObject) {
    std::lock_guard<std::mutex> hold(g_bindingLock);
    Bindings().erase(physicalDeviceObject);
}

bool BoundDeviceRegistry(PDEVICE_OBJECT physicalDeviceObject, RegistryStore** store, std::string* driverKey) {
    std::lock_guard<std::mutex> hold(g_bindingLock);
    auto it = Bindings().find(physicalDeviceObject);
    if (it == Bindings().end()) return false;
    *store = it->second.store;
    *driverKey = it->second.driverKey;
    return true;
}

}  // namespace hostk
