// _KsEdit: a private, writable copy of an item an object points to, tied to
// the object's bag; a previous copy in the same bag is freed.
#include "kernel/violations.h"
#include "object_bag.h"

NTSTATUS _KsEdit(KSOBJECT_BAG objectBag, PVOID* pointerToPointerToItem, ULONG newSize, ULONG oldSize, ULONG tag) {
    auto* bag = static_cast<hostks::ObjectBag*>(objectBag);
    PVOID old = *pointerToPointerToItem;
    auto* copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, newSize, tag));
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(copy, newSize);
    if (old) RtlCopyMemory(copy, old, oldSize < newSize ? oldSize : newSize);
    NTSTATUS status = KsAddItemToObjectBag(objectBag, copy, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(copy, tag);
        return status;
    }
    // Only a copy this bag made before is the bag's to free; the original
    // (a driver's constant descriptor) is left alone.
    if (old && bag->Contains(old)) KsRemoveItemFromObjectBag(objectBag, old, TRUE);
    *pointerToPointerToItem = copy;
    return STATUS_SUCCESS;
}
