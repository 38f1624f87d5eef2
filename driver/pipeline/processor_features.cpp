#include "driver/pipeline/processor_features.h"

#include <cpuid.h>

namespace {

// Bits of CPUID leaf 1 ECX, leaf 7 EBX and XCR0.
const unsigned kOsXsave = 1u << 27;
const unsigned kAvx = 1u << 28;
const unsigned kAvx2 = 1u << 5;
const unsigned kXmmAndYmmState = 0x6;

// XCR0, read with the instruction itself: the intrinsic would need the
// XSAVE target for the whole file.
unsigned EnabledStateComponents() {
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
}

BOOLEAN DetectAvx2() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return FALSE;
    // XGETBV faults unless the system enabled XSAVE, which OSXSAVE reports.
    if ((c & (kOsXsave | kAvx)) != (kOsXsave | kAvx)) return FALSE;
    if ((EnabledStateComponents() & kXmmAndYmmState) != kXmmAndYmmState) return FALSE;
    if (__get_cpuid_max(0, nullptr) < 7) return FALSE;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & kAvx2) != 0 ? TRUE : FALSE;
}

// 0 not asked yet, 1 no, 2 yes. Racing first callers compute the same answer.
volatile LONG g_avx2 = 0;

}  // namespace

BOOLEAN ProcessorHasAvx2() {
    LONG known = ReadNoFence(&g_avx2);
    if (known == 0) {
        known = DetectAvx2() ? 2 : 1;
        InterlockedExchange(&g_avx2, known);
    }
    return known == 2 ? TRUE : FALSE;
}
