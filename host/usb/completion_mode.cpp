#include "host/usb/completion_mode.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace hostusb {

namespace {

bool ParseNumber(const std::string& text, uint64_t limit, uint64_t* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) return false;
    *value = std::strtoull(text.c_str(), nullptr, 10);
    return *value <= limit;
}

}  // namespace

bool ParseCompletionMode(const std::string& text, CompletionMode* mode) {
    if (text.empty() || text == "pending") {
        *mode = CompletionMode::Pending();
        return true;
    }
    std::vector<std::string> fields;
    std::stringstream stream(text);
    for (std::string field; std::getline(stream, field, ':');) fields.push_back(field);
    if (fields.size() < 2 || fields.size() > 3 || fields[0] != "inline") return false;
    uint64_t seed = 0;
    uint64_t refuse = 0;
    if (!ParseNumber(fields[1], UINT64_MAX, &seed)) return false;
    if (fields.size() == 3 && !ParseNumber(fields[2], 100, &refuse)) return false;
    *mode = CompletionMode::Inline(seed, 50, static_cast<uint32_t>(refuse));
    return true;
}

CompletionMode CompletionModeFromEnvironment() {
    const char* value = std::getenv("QUELVIX_USB_COMPLETION");
    CompletionMode mode;
    if (!value) return mode;
    if (!ParseCompletionMode(value, &mode)) {
        std::fprintf(stderr,
                     "host USB stack: QUELVIX_USB_COMPLETION=\"%s\" is not pending, inline:SEED or "
                     "inline:SEED:REFUSE_PERCENT\n",
                     value);
        std::exit(2);
    }
    return mode;
}

void CompletionChooser::Reset(const CompletionMode& mode) {
    std::lock_guard<std::mutex> hold(lock_);
    mode_ = mode;
    state_ = mode.seed;
}

CompletionMode CompletionChooser::Mode() const {
    std::lock_guard<std::mutex> hold(lock_);
    return mode_;
}

// A share of 0 draws nothing, so that a mode without refusals makes the
// same inline choices whatever its other shares.
bool CompletionChooser::Draw(uint32_t CompletionMode::*share) {
    std::lock_guard<std::mutex> hold(lock_);
    const uint32_t percent = mode_.*share;
    if (!mode_.inlineCompletion || percent == 0) return false;
    // splitmix64: one step per choice.
    state_ += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return z % 100 < percent;
}

bool CompletionChooser::CompleteInline() { return Draw(&CompletionMode::inlinePercent); }
bool CompletionChooser::RefuseSubmission() { return Draw(&CompletionMode::refusePercent); }
bool CompletionChooser::ErrorInUrbOnly() { return Draw(&CompletionMode::urbOnlyErrorPercent); }

}  // namespace hostusb
