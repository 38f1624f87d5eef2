#include "host/kernel/pool.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_map>

#include "host/kernel/irql.h"
#include "host/kernel/violations.h"

namespace hostk {
namespace {

struct Block {
    ULONG tag;
    size_t bytes;
};

struct Pool {
    std::mutex lock;
    std::unordered_map<void*, Block> live;
    std::unordered_map<ULONG, PoolStats> perTag;
    PoolStats totals;
    size_t failAfter = 0;  // countdown; the allocation that brings it to 0 fails
    ULONG failTag = 0;
    bool failAll = false;
    ULONG failAllTag = 0;
    std::string report;
};

Pool& ThePool() {
    static Pool* pool = new Pool;  // never destroyed: late frees must still work
    return *pool;
}

bool ShouldFail(Pool& pool, ULONG tag) {
    if (pool.failAll && (pool.failAllTag == 0 || pool.failAllTag == tag)) return true;
    if (pool.failAfter == 0 || (pool.failTag != 0 && pool.failTag != tag)) return false;
    return --pool.failAfter == 0;
}

}  // namespace

void TagText(ULONG tag, char out[5]) {
    // A tag literal 'wNCK' puts its first character in the highest byte.
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (24 - 8 * i)) & 0xFF);
        out[i] = (c >= 32 && c < 127) ? c : '?';
    }
    out[4] = 0;
}

PoolStats PoolTotals() {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> hold(pool.lock);
    return pool.totals;
}

PoolStats PoolTagStats(ULONG tag) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> hold(pool.lock);
    auto it = pool.perTag.find(tag);
    return it == pool.perTag.end() ? PoolStats{} : it->second;
}

const char* PoolLeakReport() {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.report.clear();
    for (const auto& entry : pool.live) {
        char tag[5];
        TagText(entry.second.tag, tag);
        pool.report += "tag '" + std::string(tag) + "' " + std::to_string(entry.second.bytes) + " bytes\n";
    }
    return pool.report.c_str();
}

std::vector<TagStats> PoolLiveTags() {
    Pool& pool = ThePool();
    std::vector<TagStats> live;
    {
        std::lock_guard<std::mutex> hold(pool.lock);
        for (const auto& entry : pool.perTag) {
            if (entry.second.liveBlocks != 0) live.push_back(TagStats{entry.first, entry.second});
        }
    }
    // A tag literal keeps its first character in the highest byte, so the
    // numeric order is the order of the text.
    std::sort(live.begin(), live.end(), [](const TagStats& a, const TagStats& b) { return a.tag < b.tag; });
    return live;
}

void PoolFailNthAllocation(size_t n, ULONG tag) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.failAfter = n;
    pool.failTag = tag;
}

void PoolFailAll(bool on, ULONG tag) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.failAll = on;
    pool.failAllTag = tag;
}

void PoolResetFaults() {
    PoolFailNthAllocation(0, 0);
    PoolFailAll(false, 0);
}

}  // namespace hostk

using namespace hostk;

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    if (type == NonPagedPool) {
        char text[5];
        TagText(tag, text);
        ReportViolation("executable pool (NonPagedPool) allocated under tag '%s': use NonPagedPoolNx", text);
    }
    if (type == PagedPool && KeGetCurrentIrql() > APC_LEVEL)
        ReportViolation("paged pool allocated at IRQL %d", KeGetCurrentIrql());
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> hold(pool.lock);
    PoolStats& stats = pool.perTag[tag];
    if (bytes == 0 || ShouldFail(pool, tag)) {
        ++stats.failedAllocations;
        ++pool.totals.failedAllocations;
        return nullptr;
    }
    // Fresh pool holds garbage on Windows; make that visible here too. The
    // fill is never zero: zeroed memory would pass for a black image.
    void* block = std::malloc(bytes);
    if (!block) return nullptr;
    std::memset(block, kFreshPoolFill, bytes);
    pool.live[block] = Block{tag, bytes};
    for (PoolStats* s : {&stats, &pool.totals}) {
        ++s->liveBlocks;
        s->liveBytes += bytes;
        ++s->totalAllocations;
    }
    return block;
}

PVOID ExAllocatePoolZero(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    PVOID block = ExAllocatePoolWithTag(type, bytes, tag);
    if (block) std::memset(block, 0, bytes);
    return block;
}

static void FreeBlock(PVOID block, ULONG tag, bool checkTag) {
    if (!block) {
        ReportViolation("null pointer freed to pool");
        return;
    }
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> hold(pool.lock);
    auto it = pool.live.find(block);
    if (it == pool.live.end()) {
        ReportViolation("pool block %p freed that is not allocated (double free?)", block);
        return;
    }
    if (checkTag && it->second.tag != tag) {
        char want[5], got[5];
        TagText(it->second.tag, want);
        TagText(tag, got);
        ReportViolation("pool block allocated with tag '%s' freed with tag '%s'", want, got);
    }
    for (PoolStats* s : {&pool.perTag[it->second.tag], &pool.totals}) {
        --s->liveBlocks;
        s->liveBytes -= it->second.bytes;
    }
    std::memset(block, 0xDD, it->second.bytes);
    pool.live.erase(it);
    std::free(block);
}

VOID ExFreePoolWithTag(PVOID block, ULONG tag) { FreeBlock(block, tag, true); }
VOID ExFreePool(PVOID block) { FreeBlock(block, 0, false); }
