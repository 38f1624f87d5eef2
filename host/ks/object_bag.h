// The object bag of a kernel streaming object (device, filter, pin): items
// handed to KsAddItemToObjectBag, each with its free callback, released with
// their owner, newest first. Adding, removing and editing items needs the
// mutex that guards the bag (the device mutex for the device's bag, the
// filter control mutex for a filter's and its pins' bags); the class empties
// a bag itself when it destroys the owner.
#pragma once

#include <mutex>

#include "host/ks/class_mutex.h"
#include "host/kernel/pool.h"
#include "host/ks/ks.h"

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
    ClassMutex* guard = nullptr;  // the mutex a driver must hold to change the bag

    // Records a call made without the bag's mutex.
    void CheckGuard(const char* call) const {
        if (guard && !guard->HeldByCaller())
            hostk::ReportViolation("%s on an object bag without holding the %s", call, guard->Name());
    }

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
