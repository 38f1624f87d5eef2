// Fault injection for the host registry: failing calls of the kernel
// interface (registry.cpp) and steps of a store's save (store_file.cpp), as
// a full disk, a crash or a refusing system would.
#pragma once

#include <cstddef>
#include <string>

#include "host/kernel/ntdef.h"

namespace hostk {

// `nth` counts the calls that match (1-based, from the call arming it); 0
// fails every matching call until reset. `name` restricts the fault to one
// value name (query, set) or key name as passed to ZwCreateKey; empty
// matches all.
enum class RegistryCall { OpenDeviceKey, CreateKey, QueryValue, SetValue };
void RegistryFailCall(RegistryCall call, NTSTATUS status, size_t nth = 1, const std::string& name = "");
// Makes the next save stop at one of its steps, as a full disk or a crash
// there would.
enum class SaveStep { WriteTemporary, SyncTemporary, Rename };
void RegistryFailNextSave(SaveStep step);
void RegistryResetFaults();

// For the stand-in itself. True, with the status to fail with, when an
// armed fault takes this call.
bool InjectedFailure(RegistryCall call, const std::string& name, NTSTATUS* status);
// True when the next save was armed to stop at `step` (which disarms it).
bool SaveFails(SaveStep step);

}  // namespace hostk
