// Pool tags of the driver. Every block is released under the tag it was
// allocated with.
#pragma once

#include "driver/wdk.h"

constexpr ULONG ContextPoolTag = 'wNCK';   // device, worker, filter and pin contexts
constexpr ULONG UsbPoolTag = 'QLNC';       // URBs, descriptor copies, chunk tables
constexpr ULONG FramePoolTag = 'hVLT';     // frame buffers, edited pin descriptors
constexpr ULONG PipelinePoolTag = 'RysI';  // the image pipeline
constexpr ULONG RangePoolTag = 'gRNQ';     // a filter's edited descriptor and data range

// Every tag above, for whoever breaks the pool down by tag (quelvixcam info).
constexpr ULONG DriverPoolTags[] = {ContextPoolTag, UsbPoolTag, FramePoolTag, PipelinePoolTag, RangePoolTag};

// A zero-filled non-paged block, or null.
inline PVOID AllocateZeroed(SIZE_T bytes, ULONG tag) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, tag);
    if (block) RtlZeroMemory(block, bytes);
    return block;
}
