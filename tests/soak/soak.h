// The soak: a simulated camera plugged in under the driver through the rig,
// and a seeded random application that opens and closes filters, makes and
// closes pins, changes their states in any order and their formats, takes
// frames, sets properties from a second thread (Roi among them), makes the
// camera fail, makes allocations fail, and pulls the camera out mid-stream
// and plugs it in again while it still holds the pin.
//
// Whenever the camera has gone and the application has let go of every
// handle (after every unplug, unless the camera was plugged in again while
// the application still held handles on the old one: then at the next such
// moment), and at the end, the soak checks what Driver Verifier would stop a
// machine for: pool blocks still allocated, system threads still running,
// platform rules broken. A watchdog fails the run when a step takes longer
// than 30 s. The seed fixes the sequence of operations; how the threads
// interleave still varies from run to run.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace soak {

struct Settings {
    uint64_t seed = 1;
    uint64_t cycles = 10000;
    bool verbose = false;  // a progress line every 1000 cycles
};

struct Counts {
    std::atomic<uint64_t> cycles{0};
    std::atomic<uint64_t> unplugs{0};
    std::atomic<uint64_t> faults{0};  // camera faults and allocation failures injected
    std::atomic<uint64_t> leaks{0};   // checks that found pool blocks or system threads left
    std::atomic<uint64_t> hangs{0};
    std::atomic<uint64_t> violations{0};

    // "cycles=N unplugs=U faults=F leaks=L hangs=H violations=V"
    std::string Line() const;
};

// Runs the soak; the process's exit status (0 when nothing was left behind,
// nothing hung and no rule was broken). A hang ends the process from the
// watchdog with status 2 after printing the counts.
int RunSoak(const Settings& settings);

}  // namespace soak
