// Descriptor reads and configuration of the camera's USB device.
#include "device/pool_tags.h"
#include "usb/usb_link.h"

namespace {

// Reads a descriptor into a fresh 'QLNC' buffer of `length` bytes; on
// success the caller owns *buffer.
NTSTATUS ReadDescriptor(UsbLink* link, UCHAR type, ULONG length, PVOID* buffer) {
    *buffer = nullptr;
    ULONG size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    auto urb = static_cast<PURB>(AllocateZeroed(size, UsbPoolTag));
    PVOID data = urb ? AllocateZeroed(length, UsbPoolTag) : nullptr;
    if (!data) {
        if (urb) ExFreePoolWithTag(urb, UsbPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildGetDescriptorRequest(urb, static_cast<USHORT>(size), type, 0, 0, data, nullptr, length, nullptr);
    NTSTATUS status = SubmitUrbSync(link, urb);
    ExFreePoolWithTag(urb, UsbPoolTag);
    if (NT_SUCCESS(status)) {
        *buffer = data;
    } else {
        ExFreePoolWithTag(data, UsbPoolTag);
    }
    return status;
}

// Interface numbers are one byte, so the search for the interfaces a
// configuration claims ends after 256 numbers even when the descriptor lists
// fewer interfaces than bNumInterfaces says.
constexpr LONG InterfaceNumberLimit = 256;

}  // namespace

NTSTATUS ReadDeviceDescriptor(UsbLink* link) {
    PVOID descriptor = nullptr;
    NTSTATUS status = ReadDescriptor(link, USB_DEVICE_DESCRIPTOR_TYPE, sizeof(USB_DEVICE_DESCRIPTOR), &descriptor);
    // Only whether the device answers matters; its content is not used.
    if (descriptor) ExFreePoolWithTag(descriptor, UsbPoolTag);
    return status;
}

NTSTATUS ReadConfiguration(UsbLink* link) {
    PVOID header = nullptr;
    NTSTATUS status =
        ReadDescriptor(link, USB_CONFIGURATION_DESCRIPTOR_TYPE, sizeof(USB_CONFIGURATION_DESCRIPTOR), &header);
    if (!NT_SUCCESS(status)) return status;
    USHORT totalLength = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(header)->wTotalLength;
    ExFreePoolWithTag(header, UsbPoolTag);
    if (totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_DEVICE_DATA_ERROR;
    PVOID full = nullptr;
    status = ReadDescriptor(link, USB_CONFIGURATION_DESCRIPTOR_TYPE, totalLength, &full);
    if (!NT_SUCCESS(status)) return status;
    auto configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(full);
    // The walk below must not trust a length the device may report differently
    // the second time.
    configuration->wTotalLength = totalLength;
    link->configurationDescriptor = configuration;
    return SelectConfiguration(link, configuration);
}

NTSTATUS SelectConfiguration(UsbLink* link, PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    ULONG wanted = configuration->bNumInterfaces;
    ULONG listBytes = (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(AllocateZeroed(listBytes, UsbPoolTag));
    if (!list) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG found = 0;
    for (LONG number = 0; found < wanted && number < InterfaceNumberLimit; ++number) {
        PUSB_INTERFACE_DESCRIPTOR interface =
            USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, 0, -1, -1, -1);
        if (interface) list[found++].InterfaceDescriptor = interface;
    }
    if (found == 0) {
        ExFreePoolWithTag(list, UsbPoolTag);
        return STATUS_DEVICE_DATA_ERROR;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    if (!urb) {
        ExFreePoolWithTag(list, UsbPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < first->NumberOfPipes; ++i) first->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
    NTSTATUS status = SubmitUrbSync(link, urb);
    if (NT_SUCCESS(status)) {
        auto copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateZeroed(first->Length, UsbPoolTag));
        if (copy) {
            RtlCopyMemory(copy, first, first->Length);
            link->interfaceInfo = copy;
        } else {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    ExFreePool(urb);  // allocated by the USBD library
    ExFreePoolWithTag(list, UsbPoolTag);
    return status;
}

NTSTATUS Deconfigure(UsbLink* link) {
    ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION);
    auto urb = static_cast<PURB>(AllocateZeroed(size, UsbPoolTag));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), nullptr);
    NTSTATUS status = SubmitUrbSync(link, urb);
    ExFreePoolWithTag(urb, UsbPoolTag);
    return status;
}

VOID ReleaseConfiguration(UsbLink* link) {
    if (link->configurationDescriptor) ExFreePoolWithTag(link->configurationDescriptor, UsbPoolTag);
    if (link->interfaceInfo) ExFreePoolWithTag(link->interfaceInfo, UsbPoolTag);
    link->configurationDescriptor = nullptr;
    link->interfaceInfo = nullptr;
}
