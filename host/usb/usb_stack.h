// The USB stack below the driver on the host: a physical device object whose
// internal device-control dispatch takes URBs, port status and port reset
// requests, hands them to a UsbDevice and completes the IRPs as the real
// stack may: pending, later, on another thread, at DISPATCH_LEVEL; or, in
// the inline completion mode (completion_mode.h), some of them inside
// IoCallDriver on the caller's thread, some bulk submissions refused there,
// and some device errors reported in the URB alone.
//
// Rules it holds the driver to (each breach is a hostk::ReportViolation):
// - no pipe reset (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, _SYNC_RESET_PIPE,
//   _SYNC_CLEAR_STALL) while transfers the driver sent on that pipe have not
//   been completed back to it: the client must cancel them and wait first;
// - no transfers in flight when the stack goes away;
// - no URB before the start request has passed down to the device: the bus
//   driver starts the device first, and until then nothing above it may
//   control the device. Such a URB fails, as the hub fails it.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "host/usb/completion_mode.h"
#include "host/usb/usb.h"
#include "host/usb/usb_device.h"

namespace hostusb {

class UsbStack {
public:
    explicit UsbStack(UsbDevice* device);
    ~UsbStack();
    UsbStack(const UsbStack&) = delete;
    UsbStack& operator=(const UsbStack&) = delete;

    PDEVICE_OBJECT PhysicalDeviceObject() { return &pdo_; }
    size_t UrbsSubmitted() const;
    // The start request has reached the device (the bus driver handles it
    // before the function driver above sees it). Stays set through a stop:
    // the device keeps its address and power until it is removed.
    void DeliverStart();
    // Bulk transfers accepted and not yet completed back to the driver.
    size_t TransfersInFlight() const;

    // The mode is read from QUELVIX_USB_COMPLETION when the stack is made;
    // a test may set another (the choices start again from its seed).
    void SetCompletionMode(const CompletionMode& mode);
    CompletionMode Mode() const { return chooser_.Mode(); }
    // In any mode: the bulk submission on `endpoint` that comes after `skip`
    // more accepted ones there is refused inside IoCallDriver, as a stack
    // short of resources refuses it.
    void RefuseBulkSubmission(uint8_t endpoint, uint32_t skip = 0);
    // IRPs completed inside IoCallDriver, and bulk submissions refused there.
    size_t InlineCompletions() const;
    size_t RefusedSubmissions() const;

private:
    friend class PendingBulk;
    struct Pipe {
        UCHAR endpoint;
        USBD_PIPE_TYPE type;
        size_t pending = 0;  // IRPs sent on the pipe, not yet completed back (lock_)
    };
    struct Deferred {
        PIRP irp;
        Pipe* pipe;  // bulk transfers only
    };

    static NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI CancelBulkIrp(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS HandleUrb(PIRP irp, PURB urb);
    NTSTATUS HandlePortStatus(PIRP irp);
    NTSTATUS HandleResetPort(PIRP irp);
    void HandleDescriptor(PURB urb);
    void HandleVendor(PURB urb);
    void HandleSelectConfiguration(PURB urb);
    void HandleResetPipe(PURB urb);
    NTSTATUS HandleBulk(PIRP irp, PURB urb);
    bool RefuseNow(const Pipe* pipe);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    NTSTATUS IrpStatusForDevice(USBD_STATUS status);

    // The request is answered: complete it here or later, as the mode
    // chooses; returns what the dispatch routine returns.
    NTSTATUS Finish(PIRP irp, NTSTATUS status, Pipe* pipe = nullptr);
    NTSTATUS CompleteInline(PIRP irp, NTSTATUS status, Pipe* pipe);
    NTSTATUS CompleteLater(PIRP irp, NTSTATUS status, Pipe* pipe = nullptr);
    void CompleteAtDispatch(PIRP irp, Pipe* pipe);
    void ForgetTransfer(Pipe* pipe);
    void CompletionThread();

    UsbDevice* device_;
    DRIVER_OBJECT busDriver_{};
    DEVICE_OBJECT pdo_{};
    std::vector<Pipe*> pipes_;
    std::vector<Pipe*> retiredPipes_;  // old handles stay valid memory but are refused

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Deferred> completions_;
    bool stopping_ = false;
    bool started_ = false;
    size_t urbs_ = 0;
    size_t inFlight_ = 0;
    size_t inlineCompletions_ = 0;
    size_t refused_ = 0;
    int refuseEndpoint_ = -1;  // RefuseBulkSubmission, -1 when none is planned
    uint32_t refuseSkip_ = 0;
    CompletionChooser chooser_;
    std::thread completer_;
};

NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

}  // namespace hostusb
