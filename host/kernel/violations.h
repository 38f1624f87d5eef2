// Platform rules the stand-in asserts: a wait at DISPATCH_LEVEL, a pool block
// freed under another tag, an IRP without stack locations. Each breach is
// recorded (and printed) so that a test can fail on it instead of the process
// dying somewhere unrelated.
#pragma once

#include <cstddef>
#include <string>

namespace hostk {

void ReportViolation(const char* format, ...) __attribute__((format(printf, 1, 2)));
size_t ViolationCount();
std::string ViolationText();
void ClearViolations();

}  // namespace hostk
