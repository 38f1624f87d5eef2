// What the processor and the system let the conversion use beyond SSE2.
#pragma once

#include "driver/wdk.h"

// TRUE when the processor has AVX2 and the system saves the YMM registers
// (CPUID: AVX, OSXSAVE and AVX2; XGETBV: XMM and YMM state enabled). Asked
// once; any IRQL.
BOOLEAN ProcessorHasAvx2();
