// Descriptor reads and configuration of the camera's USB device.
#include "driver/device/pool_tags.h"
#include "driver/usb/configuration_checks.h"
#include "driver/usb/usb_link.h"

namespace {

// Reads a descriptor into a fresh UsbPoolTag buffer of `length` bytes; on
// success the caller owns *buffer, of which the device filled *received
// bytes (a device may send fewer than asked for).
NTSTATUS ReadDescriptor(UsbLink* link, UCHAR type, ULONG length, PVOID* buffer, ULONG* received) {
    *buffer = nullptr;
    *received = 0;
    ULONG size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    auto urb = static_cast<PURB>(AllocateZeroed(size, UsbPoolTag));
    PVOID data = urb ? AllocateZeroed(length, UsbPoolTag) : nullptr;
    if (!data) {
        if (urb) ExFreePoolWithTag(urb, UsbPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildGetDescriptorRequest(urb, static_cast<USHORT>(size), type, 0, 0, data, nullptr, length, nullptr);
    NTSTATUS status = SubmitUrbSync(link, urb);
    ULONG moved = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ExFreePoolWithTag(urb, UsbPoolTag);
    if (NT_SUCCESS(status)) {
        *buffer = data;
        *received = moved < length ? moved : length;
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
    ULONG received = 0;
    NTSTATUS status = ReadDescriptor(link, USB_DEVICE_DESCRIPTOR_TYPE, DeviceDescriptorLength, &descriptor, &received);
    if (!descriptor) return status;
    // Its content is not used further, but a device that cannot send its
    // own 18-byte identity is not one to configure.
    status = CheckDeviceDescriptor(static_cast<const UCHAR*>(descriptor), received);
    ExFreePoolWithTag(descriptor, UsbPoolTag);
    return status;
}

namespace {

// Reads the header, then the whole configuration it announces; on success
// the caller owns *configuration, checked and at least wTotalLength long.
NTSTATUS ReadCheckedConfiguration(UsbLink* link, PUSB_CONFIGURATION_DESCRIPTOR* configuration) {
    *configuration = nullptr;
    PVOID header = nullptr;
    ULONG received = 0;
    NTSTATUS status =
        ReadDescriptor(link, USB_CONFIGURATION_DESCRIPTOR_TYPE, ConfigurationHeaderLength, &header, &received);
    if (!NT_SUCCESS(status)) return status;
    USHORT totalLength = 0;
    status = CheckConfigurationHeader(static_cast<const UCHAR*>(header), received, &totalLength);
    ExFreePoolWithTag(header, UsbPoolTag);
    if (!NT_SUCCESS(status)) return status;
    PVOID full = nullptr;
    status = ReadDescriptor(link, USB_CONFIGURATION_DESCRIPTOR_TYPE, totalLength, &full, &received);
    if (!NT_SUCCESS(status)) return status;
    // Only the bytes that arrived are checked and walked: a device that
    // sends less than it announced, or announces more the second time than
    // it sent, fails the checks instead of leading a walk past the buffer.
    auto bytes = static_cast<const UCHAR*>(full);
    status = received < totalLength ? STATUS_DEVICE_DATA_ERROR : ValidateConfigurationDescriptor(bytes, received);
    if (NT_SUCCESS(status)) status = CheckCameraInterface(static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(full));
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(full, UsbPoolTag);
        return status;
    }
    *configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(full);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ReadConfiguration(UsbLink* link) {
    PUSB_CONFIGURATION_DESCRIPTOR configuration = nullptr;
    NTSTATUS status = ReadCheckedConfiguration(link, &configuration);
    if (!NT_SUCCESS(status)) return status;
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
            InstallInterface(link, copy);
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
    // A transfer or frame read still using the interface finishes first.
    PUSBD_INTERFACE_INFORMATION info = RetireInterface(link);
    if (info) ExFreePoolWithTag(info, UsbPoolTag);
    if (link->configurationDescriptor) ExFreePoolWithTag(link->configurationDescriptor, UsbPoolTag);
    link->configurationDescriptor = nullptr;
}
