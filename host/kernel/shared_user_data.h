// KUSER_SHARED_DATA, the page the kernel keeps at 0xFFFFF78000000000 and
// that wdm.h's inline routines read directly on x64: KeQueryInterruptTime is
// a load of its InterruptTime, KeQuerySystemTime of its SystemTime. A driver
// image compiled against the WDK carries those loads as plain instructions.
// This process cannot map a page at a kernel address, so a load from it
// faults; for code inside a registered image the fault handler decodes the
// load, answers it from the host's clocks and resumes after it, as Wine's
// kernel does for its drivers. Any other fault is left to whoever handled it
// before.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hostk {

constexpr uint64_t kSharedUserDataAddress = 0xFFFFF78000000000ull;

// Serves loads from the shared page made by code in [base, base + size).
// Installs the fault handler on first use; images stay registered for the
// life of the process (at most a few).
bool ServeSharedUserData(uintptr_t base, size_t size);

// Loads from the page answered so far.
size_t SharedUserDataLoads();

}  // namespace hostk
