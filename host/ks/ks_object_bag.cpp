// Object bags: KsAddItemToObjectBag, KsRemoveItemFromObjectBag and _KsEdit,
// each of which needs the bag's mutex held by the caller (device mutex for a
// device's bag, filter control mutex for a filter's or pin's). The class
// calls some dispatches with that mutex held on the driver's behalf (see
// ks_filter.cpp, ks_pin.cpp); anywhere else the driver takes it itself.
#include "host/kernel/violations.h"
#include "host/ks/object_bag.h"

namespace {

using hostks::BagEntry;
using hostks::kBagTag;
using hostks::ObjectBag;

NTSTATUS AddItem(ObjectBag* bag, PVOID item, PFNKSFREE free) {
    auto* entry = static_cast<BagEntry*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(BagEntry), kBagTag));
    if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> hold(bag->lock);
    *entry = BagEntry{item, free, bag->items};
    bag->items = entry;
    return STATUS_SUCCESS;
}

ULONG RemoveItem(ObjectBag* bag, PVOID item, BOOLEAN free) {
    BagEntry* found = nullptr;
    {
        std::lock_guard<std::mutex> hold(bag->lock);
        for (BagEntry** link = &bag->items; *link; link = &(*link)->next) {
            if ((*link)->item == item) {
                found = *link;
                *link = found->next;
                break;
            }
        }
    }
    if (!found) return 0;
    if (free) {
        if (found->free) found->free(item); else ExFreePool(item);
    }
    ExFreePoolWithTag(found, kBagTag);
    return 1;
}

}  // namespace

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free) {
    auto* objectBag = static_cast<ObjectBag*>(bag);
    objectBag->CheckGuard("KsAddItemToObjectBag");
    return AddItem(objectBag, item, free);
}

ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG bag, PVOID item, BOOLEAN free) {
    auto* objectBag = static_cast<ObjectBag*>(bag);
    objectBag->CheckGuard("KsRemoveItemFromObjectBag");
    return RemoveItem(objectBag, item, free);
}

NTSTATUS _KsEdit(KSOBJECT_BAG objectBag, PVOID* pointerToPointerToItem, ULONG newSize, ULONG oldSize, ULONG tag) {
    auto* bag = static_cast<ObjectBag*>(objectBag);
    bag->CheckGuard("_KsEdit");
    PVOID old = *pointerToPointerToItem;
    auto* copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, newSize, tag));
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(copy, newSize);
    if (old) RtlCopyMemory(copy, old, oldSize < newSize ? oldSize : newSize);
    NTSTATUS status = AddItem(bag, copy, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(copy, tag);
        return status;
    }
    // Only a copy this bag made before is the bag's to free; the original
    // (a driver's constant descriptor) is left alone.
    if (old && bag->Contains(old)) RemoveItem(bag, old, TRUE);
    *pointerToPointerToItem = copy;
    return STATUS_SUCCESS;
}
