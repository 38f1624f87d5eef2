// The object bag of a kernel streaming object (device, filter, pin): items
// handed to KsAddItemToObjectBag, each with its free callback, released with
// their owner, newest first.
#pragma once

#include <mutex>

#include "kernel/pool.h"
#include "ks.h"

namespace hostks {

constexpr ULONG kBagTag = 0x4B734267;  // 'KsBg'

struct BagEntry {
    PVOID item;
    PFNKSFREE free;
    BagEntry* next;
};

struct ObjectBag {
    std::mutex lock;
    BagEntry* items = nullptr;

    void Empty() {
        BagEntry* entry;
        {
            std::lock_guard<std::mutex> hold(lock);
            entry = items;
            items = nullptr;
        }
        while (entry) {
            BagEntry* next = entry->next;
            if (entry->free) entry->free(entry->item); else ExFreePool(entry->item);
            ExFreePoolWithTag(entry, kBagTag);
            entry = next;
        }
    }

    bool Contains(PVOID item) {
        std::lock_guard<std::mutex> hold(lock);
        for (BagEntry* entry = items; entry; entry = entry->next)
            if (entry->item == item) return true;
        return false;
    }
};

}  // namespace hostks
