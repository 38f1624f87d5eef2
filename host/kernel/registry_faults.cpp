#include "host/kernel/registry_faults.h"

#include <mutex>
#include <vector>

#include "host/kernel/reg_file.h"

namespace hostk {

namespace {

struct CallFault {
    RegistryCall call;
    NTSTATUS status;
    size_t countdown;  // 0: every matching call
    std::string name;
};

struct Faults {
    std::mutex lock;
    std::vector<CallFault> calls;
    bool saveArmed = false;
    SaveStep saveStep = SaveStep::WriteTemporary;
};

Faults& TheFaults() {
    static Faults* faults = new Faults;
    return *faults;
}

}  // namespace

bool InjectedFailure(RegistryCall call, const std::string& name, NTSTATUS* status) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> hold(faults.lock);
    for (auto it = faults.calls.begin(); it != faults.calls.end(); ++it) {
        if (it->call != call || (!it->name.empty() && !SameRegistryName(it->name, name))) continue;
        if (it->countdown == 0) {
            *status = it->status;
            return true;
        }
        if (--it->countdown == 0) {
            *status = it->status;
            faults.calls.erase(it);
            return true;
        }
    }
    return false;
}

bool SaveFails(SaveStep step) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> hold(faults.lock);
    if (!faults.saveArmed || faults.saveStep != step) return false;
    faults.saveArmed = false;
    return true;
}

void RegistryFailCall(RegistryCall call, NTSTATUS status, size_t nth, const std::string& name) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> hold(faults.lock);
    faults.calls.push_back(CallFault{call, status, nth, name});
}

void RegistryFailNextSave(SaveStep step) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> hold(faults.lock);
    faults.saveArmed = true;
    faults.saveStep = step;
}

void RegistryResetFaults() {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> hold(faults.lock);
    faults.calls.clear();
    faults.saveArmed = false;
}

}  // namespace hostk
