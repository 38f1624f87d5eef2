// The USBD library routines the driver calls, as documented: a descriptor
// walk that never leaves wTotalLength, and a select-configuration URB built
// from an interface list, allocated from pool for the caller to free with
// ExFreePool.
#include "host/usb/usb.h"

namespace {

constexpr ULONG kUsbdTag = 0x55534244;  // 'USBD'

PUCHAR End(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    return reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                              PVOID startPosition, LONG interfaceNumber,
                                                              LONG alternateSetting, LONG interfaceClass,
                                                              LONG interfaceSubClass, LONG interfaceProtocol) {
    auto* position = static_cast<PUCHAR>(startPosition);
    PUCHAR end = End(configuration);
    while (position + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (common->bLength == 0 || position + common->bLength > end) return nullptr;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(position);
            if (Matches(interfaceNumber, found->bInterfaceNumber) &&
                Matches(alternateSetting, found->bAlternateSetting) &&
                Matches(interfaceClass, found->bInterfaceClass) &&
                Matches(interfaceSubClass, found->bInterfaceSubClass) &&
                Matches(interfaceProtocol, found->bInterfaceProtocol)) {
                return found;
            }
        }
        position += common->bLength;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor; ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    }
    if (size > 0xFFFF) return nullptr;
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kUsbdTag));
    if (!urb) return nullptr;
    std::memset(urb, 0, size);
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), configuration);
    auto* position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor; ++entry) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        UCHAR pipes = entry->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
        info->InterfaceNumber = entry->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = entry->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (UCHAR i = 0; i < pipes; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = info;
        position += info->Length;
    }
    return urb;
}
