// Non-paged pool of the host stand-in: ExAllocatePoolWithTag and friends,
// with per-tag accounting, a leak report and allocation fault injection.
#pragma once

#include "host/kernel/ntdef.h"

#include <vector>

// NonPagedPool is executable memory: Driver Verifier's code-integrity check
// stops the machine on it (bug check 0xC4, 0x2000), and memory integrity
// (HVCI) reports it. The stand-in records it as a violation.
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
PVOID NTAPI ExAllocatePoolZero(POOL_TYPE type, SIZE_T bytes, ULONG tag);
VOID NTAPI ExFreePoolWithTag(PVOID block, ULONG tag);
VOID NTAPI ExFreePool(PVOID block);

namespace hostk {

// Tags the stand-in itself allocates under, so that IRPs and MDLs take part
// in the accounting and in fault injection like any driver allocation.
constexpr ULONG kIrpTag = 0x49727020;  // 'Irp '
constexpr ULONG kMdlTag = 0x4D646C20;  // 'Mdl '

// Every fresh block holds this byte throughout, as fresh pool holds garbage
// on Windows: memory handed out before anything was written to it shows.
constexpr unsigned char kFreshPoolFill = 0xCD;

struct PoolStats {
    size_t liveBlocks = 0;
    size_t liveBytes = 0;
    size_t totalAllocations = 0;
    size_t failedAllocations = 0;
};

PoolStats PoolTotals();
PoolStats PoolTagStats(ULONG tag);
// One line per live block ("tag 'wNCK' 128 bytes"), empty when nothing leaks.
const char* PoolLeakReport();

struct TagStats {
    ULONG tag;
    PoolStats stats;
};
// Every tag with live blocks, in the order of their text ('QLNC' before
// 'wNCK'), as a pool dump lists what a driver left at unload.
std::vector<TagStats> PoolLiveTags();

// Makes the n-th allocation (1-based, counted from this call) fail; with a
// non-zero tag only allocations of that tag are counted. n = 0 disarms.
void PoolFailNthAllocation(size_t n, ULONG tag = 0);
// Fails every allocation of `tag` (0: of every tag) until disarmed.
void PoolFailAll(bool on, ULONG tag = 0);
void PoolResetFaults();

// Text of a four-character tag as it reads in a pool dump ('wNCK').
void TagText(ULONG tag, char out[5]);

}  // namespace hostk
