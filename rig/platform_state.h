// What outlives one camera in the host process: the stand-ins' fault plans,
// the driver-wide values, and whatever a driver left behind. A run that
// plugs cameras in again and again starts each from a fresh boot and checks,
// after every removal, what Driver Verifier would stop a machine for: pool
// still allocated, system threads still running, platform rules broken.
#pragma once

#include <cstddef>
#include <string>

namespace rig {

// Disarms the pool's and the registry's fault injection.
void DisarmFaults();
// DisarmFaults, then forgets the violations recorded and gives the
// driver-wide timeouts their defaults.
void ResetPlatform();

// The driver's two waits, in milliseconds, are globals it reads on every
// request: how long a frame read waits for the camera, and how long a
// control transfer waits for its reply. A test or soak that needs them
// shorter (a silent camera) or longer (a held one) sets them here, and
// ResetPlatform gives them their defaults back; nothing else writes them.
void SetReadTimeout(long milliseconds);
void SetUsbRequestTimeout(long milliseconds);

struct Leftovers {
    size_t liveBlocks = 0;     // pool blocks still allocated, any tag
    size_t systemThreads = 0;  // system threads not yet ended
    size_t violations = 0;     // platform rules broken (hostk::ReportViolation)

    bool None() const { return liveBlocks == 0 && systemThreads == 0 && violations == 0; }
    // The live blocks and the violations' text, for a failure message.
    std::string Report() const;
};

Leftovers LeftoversNow();

}  // namespace rig
