// The USB stack below the driver on the host: a physical device object whose
// internal device-control dispatch takes URBs, port status and port reset
// requests, hands them to a UsbDevice and completes the IRPs as the real
// stack does - always pending, later, on another thread, at DISPATCH_LEVEL.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "usb.h"
#include "usb_device.h"

namespace hostusb {

class UsbStack {
public:
    explicit UsbStack(UsbDevice* device);
    ~UsbStack();
    UsbStack(const UsbStack&) = delete;
    UsbStack& operator=(const UsbStack&) = delete;

    PDEVICE_OBJECT PhysicalDeviceObject() { return &pdo_; }
    size_t UrbsSubmitted() const;
    // Bulk transfers handed to the device and not yet completed.
    size_t TransfersInFlight() const;

private:
    friend class PendingBulk;
    struct Pipe {
        UCHAR endpoint;
        USBD_PIPE_TYPE type;
    };

    static NTSTATUS DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp);
    static VOID CancelBulkIrp(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS HandleUrb(PIRP irp, PURB urb);
    NTSTATUS HandlePortStatus(PIRP irp);
    NTSTATUS HandleResetPort(PIRP irp);
    void HandleDescriptor(PURB urb);
    void HandleVendor(PURB urb);
    void HandleSelectConfiguration(PURB urb);
    void HandleResetPipe(PURB urb);
    NTSTATUS HandleBulk(PIRP irp, PURB urb);
    const Pipe* FindPipe(USBD_PIPE_HANDLE handle);

    NTSTATUS CompleteLater(PIRP irp, NTSTATUS status);
    void CompleteAtDispatch(PIRP irp);
    void CompletionThread();

    UsbDevice* device_;
    DRIVER_OBJECT busDriver_{};
    DEVICE_OBJECT pdo_{};
    std::vector<Pipe*> pipes_;
    std::vector<Pipe*> retiredPipes_;  // old handles stay valid memory but are refused

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<PIRP> completions_;
    bool stopping_ = false;
    size_t urbs_ = 0;
    size_t inFlight_ = 0;
    std::thread completer_;
};

NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

}  // namespace hostusb
