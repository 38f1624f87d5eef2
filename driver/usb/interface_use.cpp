// Who may read the selected interface's pipes, and when it may be freed.
//
// A property request's transfer and the capture thread's frame read use
// interfaceInfo on their own threads, while the streaming class may call the
// device's Stop (or remove it) at any time, also while a pin still runs after
// a surprise removal. Each use holds the interface for its whole length; the
// stop retires it, so that no new use begins, and frees it only after the
// last use has ended.
#include "driver/usb/usb_link.h"

namespace {

KIRQL LockInterface(UsbLink* link) { return KeAcquireSpinLockRaiseToDpc(&link->interfaceLock); }
VOID UnlockInterface(UsbLink* link, KIRQL irql) { KeReleaseSpinLock(&link->interfaceLock, irql); }

// A frame read waits up to ReadTimeout for the camera; cancelling it ends the
// wait at once. The retiring waiter looks again this often in case a read
// began after its cancel.
constexpr LONGLONG RetireRecheck = -10LL * 10000;  // 10 ms, relative

}  // namespace

BOOLEAN AcquireInterface(UsbLink* link) {
    KIRQL irql = LockInterface(link);
    BOOLEAN usable = link->interfaceInfo != nullptr && !link->interfaceRetiring;
    if (usable) ++link->interfaceUsers;
    UnlockInterface(link, irql);
    return usable;
}

VOID ReleaseInterface(UsbLink* link) {
    KIRQL irql = LockInterface(link);
    if (--link->interfaceUsers == 0 && link->interfaceRetiring) KeSetEvent(&link->interfaceIdle, IO_NO_INCREMENT, FALSE);
    UnlockInterface(link, irql);
}

VOID InstallInterface(UsbLink* link, PUSBD_INTERFACE_INFORMATION info) {
    KIRQL irql = LockInterface(link);
    link->interfaceInfo = info;
    link->interfaceRetiring = FALSE;
    UnlockInterface(link, irql);
}

PUSBD_INTERFACE_INFORMATION RetireInterface(UsbLink* link) {
    for (;;) {
        KIRQL irql = LockInterface(link);
        link->interfaceRetiring = TRUE;
        if (link->interfaceUsers == 0) {
            PUSBD_INTERFACE_INFORMATION info = link->interfaceInfo;
            link->interfaceInfo = nullptr;
            UnlockInterface(link, irql);
            return info;
        }
        KeClearEvent(&link->interfaceIdle);
        UnlockInterface(link, irql);
        CancelPendingReads(link);
        LARGE_INTEGER recheck;
        recheck.QuadPart = RetireRecheck;
        KeWaitForSingleObject(&link->interfaceIdle, Executive, KernelMode, FALSE, &recheck);
    }
}
