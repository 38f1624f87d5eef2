#include "host/usb/usb_stack.h"

#include <atomic>

#include "host/kernel/violations.h"

namespace hostusb {

NTSTATUS NtStatusFromUsbd(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    if (status == USBD_STATUS_CANCELED) return STATUS_CANCELLED;
    if (status == USBD_STATUS_DEVICE_GONE) return STATUS_NO_SUCH_DEVICE;
    if (status == USBD_STATUS_INVALID_PIPE_HANDLE || status == USBD_STATUS_INVALID_PARAMETER)
        return STATUS_INVALID_PARAMETER;
    return STATUS_UNSUCCESSFUL;
}

// One bulk transfer in the device's hands. It lives until both the device has
// completed it and any cancel routine that raced with that completion is done
// with it.
//
// While the stack's dispatch routine still runs (inDispatch_), a completion
// by the device - on this thread or another - is only recorded: the
// dispatch routine then completes the IRP itself, inline or later. Once the
// dispatch routine lets go, it has marked the IRP pending first, and a
// completion completes the IRP at DISPATCH_LEVEL on the completer's thread.
class PendingBulk final : public BulkTransfer {
public:
    PendingBulk(UsbStack* stack, PIRP irp, PURB urb, UsbStack::Pipe* pipe)
        : stack_(stack), irp_(irp), urb_(urb), pipe_(pipe) {}

    void AddRef() { references_.fetch_add(1); }

    void Release() {
        if (references_.fetch_sub(1) == 1) delete this;
    }

    // Set by the cancel routine. A cancel can reach the device before the
    // transfer does (the routine runs on another thread while SubmitBulk is
    // on its way), and the device ignores a transfer it does not know; the
    // submitter asks again once the device has it.
    std::atomic<bool> cancelRequested{false};

    void Complete(uint32_t usbdStatus, uint32_t actualLength) override {
        // Keep a cancel routine that already started from reading this IRP
        // after it is gone: it runs under the cancel spin lock until it holds
        // its own reference to this transfer.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoSetCancelRoutine(irp_, nullptr);
        IoReleaseCancelSpinLock(irql);
        auto status = static_cast<USBD_STATUS>(usbdStatus);
        urb_->UrbHeader.Status = status;
        urb_->UrbBulkOrInterruptTransfer.TransferBufferLength = actualLength;
        irp_->IoStatus.Status = stack_->IrpStatusForDevice(status);
        irp_->IoStatus.Information = 0;
        bool inDispatch;
        {
            std::lock_guard<std::mutex> hold(stateLock_);
            inDispatch = inDispatch_;
            completedInDispatch_ = inDispatch;
        }
        if (!inDispatch) stack_->CompleteAtDispatch(irp_, pipe_);
        Release();
    }

    // The dispatch routine is done with the device: true when the transfer
    // completed meanwhile (the IRP is then the dispatch routine's to
    // complete); otherwise the IRP is marked pending before any completer
    // can see it.
    bool LeaveDispatch() {
        std::lock_guard<std::mutex> hold(stateLock_);
        inDispatch_ = false;
        if (!completedInDispatch_) IoMarkIrpPending(irp_);
        return completedInDispatch_;
    }

private:
    ~PendingBulk() override = default;
    UsbStack* stack_;
    PIRP irp_;
    PURB urb_;
    UsbStack::Pipe* pipe_;
    std::atomic<int> references_{1};
    std::mutex stateLock_;
    bool inDispatch_ = true;
    bool completedInDispatch_ = false;
};

UsbStack::UsbStack(UsbDevice* device) : device_(device) {
    busDriver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    pdo_.DriverObject = &busDriver_;
    pdo_.DeviceExtension = this;
    pdo_.StackSize = 1;
    chooser_.Reset(CompletionModeFromEnvironment());
    completer_ = std::thread([this] { CompletionThread(); });
}

UsbStack::~UsbStack() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        if (inFlight_ != 0) hostk::ReportViolation("USB stack removed with %zu transfers in flight", inFlight_);
    }
    wake_.notify_all();
    completer_.join();
    for (Pipe* pipe : pipes_) delete pipe;
    for (Pipe* pipe : retiredPipes_) delete pipe;
}

size_t UsbStack::UrbsSubmitted() const {
    std::lock_guard<std::mutex> hold(lock_);
    return urbs_;
}

size_t UsbStack::TransfersInFlight() const {
    std::lock_guard<std::mutex> hold(lock_);
    return inFlight_;
}

void UsbStack::DeliverStart() {
    std::lock_guard<std::mutex> hold(lock_);
    started_ = true;
}

void UsbStack::SetCompletionMode(const CompletionMode& mode) { chooser_.Reset(mode); }

void UsbStack::RefuseBulkSubmission(uint8_t endpoint, uint32_t skip) {
    std::lock_guard<std::mutex> hold(lock_);
    refuseEndpoint_ = endpoint;
    refuseSkip_ = skip;
}

size_t UsbStack::InlineCompletions() const {
    std::lock_guard<std::mutex> hold(lock_);
    return inlineCompletions_;
}

size_t UsbStack::RefusedSubmissions() const {
    std::lock_guard<std::mutex> hold(lock_);
    return refused_;
}

// What the IRP reports for a request the device answered with `status`.
// The URB carries the USB outcome and the IRP whether the stack could
// process the URB, so the two may differ: in the inline mode a transfer
// error that halts the endpoint (a stall, a device not responding; not a
// cancel or a removed device, which fail the IRP, nor a URB the stack
// itself refused) sometimes leaves the IRP successful, and the client must
// look at UrbHeader.Status.
NTSTATUS UsbStack::IrpStatusForDevice(USBD_STATUS status) {
    const bool halted = (static_cast<ULONG>(status) >> 30) == 3;
    if (halted && status != USBD_STATUS_CANCELED && status != USBD_STATUS_DEVICE_GONE && chooser_.ErrorInUrbOnly())
        return STATUS_SUCCESS;
    return NtStatusFromUsbd(status);
}

NTSTATUS UsbStack::DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    auto* stack = static_cast<UsbStack*>(device->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return stack->HandleUrb(irp, static_cast<PURB>(location->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return stack->HandlePortStatus(irp);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return stack->HandleResetPort(irp);
    default:
        return stack->Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS UsbStack::HandleUrb(PIRP irp, PURB urb) {
    if (!urb) return Finish(irp, STATUS_INVALID_PARAMETER);
    bool started;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++urbs_;
        started = started_;
    }
    if (!started) {
        hostk::ReportViolation("URB function 0x%04X sent before the device was started", urb->UrbHeader.Function);
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return Finish(irp, STATUS_DEVICE_NOT_READY);
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return HandleBulk(irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        HandleDescriptor(urb);
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
        HandleVendor(urb);
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        HandleSelectConfiguration(urb);
        break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        HandleResetPipe(urb);
        break;
    default:
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return Finish(irp, STATUS_INVALID_PARAMETER);
    }
    return Finish(irp, IrpStatusForDevice(urb->UrbHeader.Status));
}

static PVOID TransferAddress(PVOID buffer, PMDL mdl) {
    return buffer ? buffer : (mdl ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : nullptr);
}

void UsbStack::HandleDescriptor(PURB urb) {
    auto& request = urb->UrbControlDescriptorRequest;
    auto* data = static_cast<uint8_t*>(TransferAddress(request.TransferBuffer, request.TransferBufferMDL));
    if (!data || request.TransferBufferLength > 0xFFFF) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return;
    }
    SetupPacket setup{0x80, 6, static_cast<uint16_t>(request.DescriptorType << 8 | request.Index), request.LanguageId,
                      static_cast<uint16_t>(request.TransferBufferLength)};
    uint32_t moved = 0;
    urb->UrbHeader.Status = static_cast<USBD_STATUS>(device_->ControlTransfer(setup, data, &moved));
    request.TransferBufferLength = moved;
}

void UsbStack::HandleVendor(PURB urb) {
    auto& request = urb->UrbControlVendorClassRequest;
    auto* data = static_cast<uint8_t*>(TransferAddress(request.TransferBuffer, request.TransferBufferMDL));
    if ((!data && request.TransferBufferLength) || request.TransferBufferLength > 0xFFFF) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return;
    }
    bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    SetupPacket setup{static_cast<uint8_t>(in ? 0xC0 : 0x40), request.Request, request.Value, request.Index,
                      static_cast<uint16_t>(request.TransferBufferLength)};
    uint32_t moved = 0;
    urb->UrbHeader.Status = static_cast<USBD_STATUS>(device_->ControlTransfer(setup, data, &moved));
    request.TransferBufferLength = moved;
}

void UsbStack::HandleSelectConfiguration(PURB urb) {
    auto& request = urb->UrbSelectConfiguration;
    std::vector<Pipe*> fresh;
    if (request.ConfigurationDescriptor) {
        // Fill every interface of the request from the configuration
        // descriptor, as the hub driver does before it configures the device.
        auto* info = &request.Interface;
        auto* end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        while (reinterpret_cast<PUCHAR>(info) + sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) <= end &&
               info->Length != 0) {
            PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
                request.ConfigurationDescriptor, request.ConfigurationDescriptor, info->InterfaceNumber,
                info->AlternateSetting, -1, -1, -1);
            if (!descriptor || descriptor->bNumEndpoints != info->NumberOfPipes) {
                urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
                for (Pipe* pipe : fresh) delete pipe;
                return;
            }
            info->Class = descriptor->bInterfaceClass;
            info->SubClass = descriptor->bInterfaceSubClass;
            info->Protocol = descriptor->bInterfaceProtocol;
            info->InterfaceHandle = info;
            auto* position = reinterpret_cast<PUCHAR>(descriptor) + descriptor->bLength;
            PUCHAR configEnd = reinterpret_cast<PUCHAR>(request.ConfigurationDescriptor) +
                               request.ConfigurationDescriptor->wTotalLength;
            ULONG pipe = 0;
            while (pipe < info->NumberOfPipes && position + 2 <= configEnd && position[0] != 0) {
                if (position[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
                    auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(position);
                    auto* record = new Pipe{endpoint->bEndpointAddress,
                                            static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK)};
                    fresh.push_back(record);
                    USBD_PIPE_INFORMATION& out = info->Pipes[pipe++];
                    out.EndpointAddress = endpoint->bEndpointAddress;
                    out.MaximumPacketSize = endpoint->wMaxPacketSize;
                    out.Interval = endpoint->bInterval;
                    out.PipeType = record->type;
                    out.PipeHandle = record;
                }
                position += position[0];
            }
            info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
            if (reinterpret_cast<PUCHAR>(info) >= end) break;
        }
    }
    uint8_t value = request.ConfigurationDescriptor ? request.ConfigurationDescriptor->bConfigurationValue : 0;
    urb->UrbHeader.Status = static_cast<USBD_STATUS>(device_->SetConfiguration(value));
    std::lock_guard<std::mutex> hold(lock_);
    if (!USBD_SUCCESS(urb->UrbHeader.Status)) {
        for (Pipe* pipe : fresh) delete pipe;
        return;
    }
    request.ConfigurationHandle = request.ConfigurationDescriptor ? this : nullptr;
    retiredPipes_.insert(retiredPipes_.end(), pipes_.begin(), pipes_.end());
    pipes_ = fresh;
}

UsbStack::Pipe* UsbStack::FindPipe(USBD_PIPE_HANDLE handle) {
    std::lock_guard<std::mutex> hold(lock_);
    for (Pipe* pipe : pipes_) {
        if (pipe == handle) return pipe;
    }
    return nullptr;
}

void UsbStack::HandleResetPipe(PURB urb) {
    const Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (pipe) {
        // A client cancels every transfer it sent on a pipe, and waits for
        // them, before it resets the pipe (or the port).
        std::lock_guard<std::mutex> hold(lock_);
        if (pipe->pending != 0)
            hostk::ReportViolation("pipe reset (URB function 0x%04X) on endpoint 0x%02X with %zu transfers pending on it",
                                   urb->UrbHeader.Function, pipe->endpoint, pipe->pending);
    }
    urb->UrbHeader.Status =
        pipe ? static_cast<USBD_STATUS>(device_->ResetPipe(pipe->endpoint)) : USBD_STATUS_INVALID_PIPE_HANDLE;
}

VOID UsbStack::CancelBulkIrp(PDEVICE_OBJECT device, PIRP irp) {
    auto* stack = static_cast<UsbStack*>(device->DeviceExtension);
    auto* transfer = static_cast<PendingBulk*>(irp->Tail.Overlay.DriverContext[0]);
    transfer->AddRef();
    IoReleaseCancelSpinLock(irp->CancelIrql);
    transfer->cancelRequested.store(true);
    stack->device_->CancelBulk(transfer);
    transfer->Release();
}

// A planned refusal (RefuseBulkSubmission) or the mode's random one.
bool UsbStack::RefuseNow(const Pipe* pipe) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (refuseEndpoint_ == pipe->endpoint) {
            if (refuseSkip_ == 0) {
                refuseEndpoint_ = -1;
                return true;
            }
            --refuseSkip_;
        }
    }
    return chooser_.RefuseSubmission();
}

NTSTATUS UsbStack::HandleBulk(PIRP irp, PURB urb) {
    auto& request = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = FindPipe(request.PipeHandle);
    auto* data = static_cast<uint8_t*>(TransferAddress(request.TransferBuffer, request.TransferBufferMDL));
    if (!pipe) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return Finish(irp, STATUS_INVALID_PARAMETER);
    }
    if (!data || (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return Finish(irp, STATUS_INVALID_PARAMETER);
    }
    if (RefuseNow(pipe)) {
        // Refused before the device sees it: completed here, the failure
        // returned from IoCallDriver.
        urb->UrbHeader.Status = USBD_STATUS_INSUFFICIENT_RESOURCES;
        request.TransferBufferLength = 0;
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++refused_;
        }
        return CompleteInline(irp, STATUS_INSUFFICIENT_RESOURCES, nullptr);
    }
    auto* transfer = new PendingBulk(this, irp, urb, pipe);
    transfer->endpoint = pipe->endpoint;
    transfer->buffer = data;
    transfer->length = request.TransferBufferLength;
    irp->Tail.Overlay.DriverContext[0] = transfer;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++inFlight_;
        ++pipe->pending;
    }
    transfer->AddRef();  // kept by this dispatch routine until it lets go
    IoSetCancelRoutine(irp, CancelBulkIrp);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
        // Cancelled before it reached the device.
        transfer->Complete(static_cast<uint32_t>(USBD_STATUS_CANCELED), 0);
    } else {
        device_->SubmitBulk(transfer);
        if (transfer->cancelRequested.load()) device_->CancelBulk(transfer);
    }
    bool done = transfer->LeaveDispatch();
    transfer->Release();
    if (!done) return STATUS_PENDING;
    return Finish(irp, irp->IoStatus.Status, pipe);
}

NTSTATUS UsbStack::HandlePortStatus(PIRP irp) {
    auto* status = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (!status) return Finish(irp, STATUS_INVALID_PARAMETER);
    uint32_t port = 0;
    NTSTATUS result = NtStatusFromUsbd(static_cast<USBD_STATUS>(device_->GetPortStatus(&port)));
    *status = port;
    return Finish(irp, result);
}

NTSTATUS UsbStack::HandleResetPort(PIRP irp) {
    return Finish(irp, NtStatusFromUsbd(static_cast<USBD_STATUS>(device_->ResetPort())));
}

NTSTATUS UsbStack::Finish(PIRP irp, NTSTATUS status, Pipe* pipe) {
    return chooser_.CompleteInline() ? CompleteInline(irp, status, pipe) : CompleteLater(irp, status, pipe);
}

// A dispatch routine that completes a request itself: IoCompleteRequest on
// the caller's thread, at the caller's IRQL, which runs the caller's
// completion routine before IoCallDriver returns; the IRP is not marked
// pending and the final status is returned.
NTSTATUS UsbStack::CompleteInline(PIRP irp, NTSTATUS status, Pipe* pipe) {
    irp->IoStatus.Status = status;
    ForgetTransfer(pipe);
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++inlineCompletions_;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbStack::CompleteLater(PIRP irp, NTSTATUS status, Pipe* pipe) {
    irp->IoStatus.Status = status;
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> hold(lock_);
        completions_.push_back(Deferred{irp, pipe});
    }
    wake_.notify_one();
    return STATUS_PENDING;
}

// The transfer is about to be completed back: it no longer counts as in
// flight, nor as pending on its pipe.
void UsbStack::ForgetTransfer(Pipe* pipe) {
    if (!pipe) return;
    std::lock_guard<std::mutex> hold(lock_);
    --inFlight_;
    --pipe->pending;
}

void UsbStack::CompleteAtDispatch(PIRP irp, Pipe* pipe) {
    ForgetTransfer(pipe);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

void UsbStack::CompletionThread() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        wake_.wait(hold, [this] { return stopping_ || !completions_.empty(); });
        if (completions_.empty()) return;
        Deferred next = completions_.front();
        completions_.pop_front();
        hold.unlock();
        CompleteAtDispatch(next.irp, next.pipe);
        hold.lock();
    }
}

}  // namespace hostusb
