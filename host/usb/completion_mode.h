// How the host USB stack completes the requests it is given.
//
// Pending (the default): every request is marked pending and completed
// later, on the stack's own thread or the device's, at DISPATCH_LEVEL.
//
// Inline: a request the device has answered by the time the stack's dispatch
// routine is done with it is, by a seeded pseudo-random choice, completed
// right there - IoCompleteRequest on the caller's thread, at the caller's
// IRQL, with IoCallDriver returning the final status instead of
// STATUS_PENDING - as the Windows USB stack may do. The same choices can
// also refuse a bulk submission before it reaches the device and report a
// device error in the URB alone, with the IRP succeeding. The sequence of
// choices follows from the seed, so a run that failed can be repeated.
//
// Whole test runs pick the mode with the environment variable
// QUELVIX_USB_COMPLETION:
//     pending                    always pend (also when unset)
//     inline:SEED                inline completions, no refusals
//     inline:SEED:REFUSE%        ... and REFUSE% of bulk submissions refused
// A test can set a mode of its own with UsbStack::SetCompletionMode.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace hostusb {

struct CompletionMode {
    bool inlineCompletion = false;
    uint64_t seed = 0;
    // Of the requests the device has answered inside the dispatch routine:
    // the share completed there rather than pended.
    uint32_t inlinePercent = 50;
    // Of the bulk submissions: the share refused synchronously with
    // USBD_STATUS_INSUFFICIENT_RESOURCES / STATUS_INSUFFICIENT_RESOURCES.
    uint32_t refusePercent = 0;
    // Of the transfers the device fails (other than cancel and removal): the
    // share whose IRP nevertheless completes with STATUS_SUCCESS, the error
    // reported only in UrbHeader.Status.
    uint32_t urbOnlyErrorPercent = 50;

    static CompletionMode Pending() { return CompletionMode{}; }
    static CompletionMode Inline(uint64_t seed, uint32_t inlinePercent = 50, uint32_t refusePercent = 0,
                                 uint32_t urbOnlyErrorPercent = 50) {
        CompletionMode mode;
        mode.inlineCompletion = true;
        mode.seed = seed;
        mode.inlinePercent = inlinePercent;
        mode.refusePercent = refusePercent;
        mode.urbOnlyErrorPercent = urbOnlyErrorPercent;
        return mode;
    }
};

// Parses the variable's value; false (and *mode untouched) when malformed.
bool ParseCompletionMode(const std::string& text, CompletionMode* mode);
// The mode QUELVIX_USB_COMPLETION names; a malformed value is reported on
// standard error and ends the process, so a typo cannot silently test the
// default mode.
CompletionMode CompletionModeFromEnvironment();

// The stack's pseudo-random choices (splitmix64), thread-safe. Each choice
// draws one number, so the choices made in a given order repeat exactly
// for the same seed.
class CompletionChooser {
public:
    void Reset(const CompletionMode& mode);
    CompletionMode Mode() const;
    bool CompleteInline();
    bool RefuseSubmission();
    bool ErrorInUrbOnly();

private:
    bool Draw(uint32_t CompletionMode::*share);

    mutable std::mutex lock_;
    CompletionMode mode_;
    uint64_t state_ = 0;
};

}  // namespace hostusb
