// The seam between the host USB stack stand-in and whatever stands in the
// camera's place: the simulated camera today, a real camera through libusb
// later. The stack turns the driver's URBs into these calls; the device
// answers them as the device side of the USB protocol and nothing more.
#pragma once

#include <cstdint>

namespace hostusb {

// USBD status codes a device answers with (values of the WDK's usb.h).
constexpr uint32_t kUsbdSuccess = 0x00000000;
constexpr uint32_t kUsbdStallPid = 0xC0000004;
constexpr uint32_t kUsbdDevNotResponding = 0xC0000005;
constexpr uint32_t kUsbdDataUnderrun = 0xC0000012;
constexpr uint32_t kUsbdCanceled = 0xC0010000;
constexpr uint32_t kUsbdDeviceGone = 0xC0007000;
constexpr uint32_t kUsbdRequestFailed = 0x80000500;

// Port status bits of IOCTL_INTERNAL_USB_GET_PORT_STATUS.
constexpr uint32_t kPortEnabled = 0x1;
constexpr uint32_t kPortConnected = 0x2;

struct SetupPacket {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

// One bulk or interrupt transfer handed to the device. The device moves up to
// `length` bytes from or into `buffer` and calls Complete exactly once, from
// any thread, possibly before SubmitBulk returns. The transfer stays valid
// until Complete has been called; the device must not touch it afterwards.
class BulkTransfer {
public:
    uint8_t endpoint = 0;  // bit 7 set: IN (device to host)
    uint8_t* buffer = nullptr;
    uint32_t length = 0;

    virtual void Complete(uint32_t usbdStatus, uint32_t actualLength) = 0;

protected:
    virtual ~BulkTransfer() = default;
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // A control transfer on the default pipe, answered at once. `data` holds
    // wLength bytes (sent, or to be filled for an IN request); *transferred
    // receives the bytes moved. Returns a USBD status.
    virtual uint32_t ControlTransfer(const SetupPacket& setup, uint8_t* data, uint32_t* transferred) = 0;

    // SET_CONFIGURATION as the stack issues it for a select-configuration
    // URB; 0 deconfigures.
    virtual uint32_t SetConfiguration(uint8_t configurationValue) = 0;

    // Clears a halt on an endpoint (sync reset pipe and clear stall).
    virtual uint32_t ResetPipe(uint8_t endpoint) = 0;

    virtual void SubmitBulk(BulkTransfer* transfer) = 0;

    // Gives up a submitted transfer: if it has not completed yet, it completes
    // now with kUsbdCanceled; if it already completed (or is completing on
    // another thread), nothing happens.
    virtual void CancelBulk(BulkTransfer* transfer) = 0;

    virtual uint32_t GetPortStatus(uint32_t* portStatus) = 0;
    virtual uint32_t ResetPort() = 0;
};

}  // namespace hostusb
