// Loads the program of the camera's USB controller. Request 0xA0 writes the
// controller's internal memory and 0xA3 its external memory; the CPU control
// register lies at 0x7F92 on the older parts of the controller family and at
// 0xE600 on the newer ones, so both are written to hold or release the CPU.
#include "driver/device/pool_tags.h"
#include "driver/usb/firmware_record.h"
#include "driver/usb/usb_link.h"

namespace {

constexpr UCHAR InternalMemoryWrite = 0xA0;
constexpr UCHAR ExternalMemoryWrite = 0xA3;
constexpr USHORT InternalMemoryTop = 0x1B3F;
constexpr USHORT CpuControlOld = 0x7F92;
constexpr USHORT CpuControlNew = 0xE600;

NTSTATUS VendorWrite(UsbLink* link, UCHAR request, USHORT address, const UCHAR* data, ULONG length) {
    ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto urb = static_cast<PURB>(AllocateZeroed(size, UsbPoolTag));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    // The USB stack reads the data during the request; a local copy keeps the
    // constant image out of a writable transfer buffer.
    UCHAR bytes[16];
    RtlCopyMemory(bytes, data, length);
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, static_cast<USHORT>(size), 0, 0, request, address, 0,
                          bytes, nullptr, length, nullptr);
    NTSTATUS status = SubmitUrbSync(link, urb);
    ExFreePoolWithTag(urb, UsbPoolTag);
    return status;
}

// Writes the image's data records on one side of InternalMemoryTop; stops at
// the first failure. Returns the status of the last write sent.
NTSTATUS WritePass(UsbLink* link, const FirmwareRecord* image, BOOLEAN internal, NTSTATUS last) {
    for (const FirmwareRecord* record = image; record->type == FirmwareRecordData; ++record) {
        BOOLEAN isInternal = record->address <= InternalMemoryTop;
        if (isInternal != internal) continue;
        ULONG length = record->byteCount <= 16 ? record->byteCount : 16;
        last = VendorWrite(link, internal ? InternalMemoryWrite : ExternalMemoryWrite, record->address,
                           record->data, length);
        if (!NT_SUCCESS(last)) break;
    }
    return last;
}

}  // namespace

NTSTATUS SetControllerReset(UsbLink* link, BOOLEAN hold) {
    UCHAR value = hold ? 1 : 0;
    VendorWrite(link, InternalMemoryWrite, CpuControlOld, &value, 1);
    return VendorWrite(link, InternalMemoryWrite, CpuControlNew, &value, 1);
}

NTSTATUS DownloadFirmware(UsbLink* link, const FirmwareRecord* image) {
    NTSTATUS last = WritePass(link, image, FALSE, STATUS_SUCCESS);
    SetControllerReset(link, TRUE);
    last = WritePass(link, image, TRUE, last);
    SetControllerReset(link, FALSE);
    return last;
}
