#include "driver/usb/configuration_checks.h"

namespace {

constexpr ULONG InterfaceDescriptorLength = 9;
constexpr ULONG EndpointDescriptorLength = 7;
constexpr ULONG AudioEndpointDescriptorLength = 9;  // the audio class adds two bytes
constexpr ULONG CameraPipeCount = 3;

USHORT Read16(const UCHAR* bytes) { return static_cast<USHORT>(bytes[0] | bytes[1] << 8); }

// The interface being walked: its descriptor's counts and what has been seen
// of its endpoints since.
struct InterfaceWalk {
    BOOLEAN open;
    ULONG endpointsDeclared;
    ULONG endpointsSeen;
    ULONG addressesSeen;  // bit per endpoint number and direction
};

BOOLEAN InterfaceComplete(const InterfaceWalk& walk) {
    return !walk.open || walk.endpointsSeen == walk.endpointsDeclared;
}

// True when an earlier interface descriptor (offsets before `end`, already
// checked) has the same number and alternate setting.
BOOLEAN SeenBefore(const UCHAR* bytes, ULONG end, UCHAR number, UCHAR alternate) {
    for (ULONG offset = bytes[0]; offset < end; offset += bytes[offset]) {
        const UCHAR* d = bytes + offset;
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[2] == number && d[3] == alternate) return TRUE;
    }
    return FALSE;
}

BOOLEAN ValidEndpointAddress(UCHAR address) { return (address & 0x70) == 0 && (address & 0x0F) != 0; }

ULONG AddressBit(UCHAR address) { return 1u << ((address & 0x0F) + (USB_ENDPOINT_DIRECTION_IN(address) ? 16 : 0)); }

NTSTATUS CheckInterface(const UCHAR* bytes, ULONG offset, UCHAR interfaceCount, LONG* highestNumber,
                        ULONG* distinctInterfaces, InterfaceWalk* walk) {
    const UCHAR* d = bytes + offset;
    if (d[0] != InterfaceDescriptorLength || !InterfaceComplete(*walk)) return STATUS_DEVICE_DATA_ERROR;
    UCHAR number = d[2];
    // Interfaces come numbered from 0 in order; alternate settings of one
    // number may repeat it.
    if (number >= interfaceCount || number > *highestNumber + 1) return STATUS_DEVICE_DATA_ERROR;
    if (SeenBefore(bytes, offset, number, d[3])) return STATUS_DEVICE_DATA_ERROR;
    if (number == *highestNumber + 1) {
        *highestNumber = number;
        ++*distinctInterfaces;
    }
    *walk = InterfaceWalk{TRUE, d[4], 0, 0};
    return STATUS_SUCCESS;
}

NTSTATUS CheckEndpoint(const UCHAR* d, InterfaceWalk* walk) {
    if (!walk->open) return STATUS_DEVICE_DATA_ERROR;  // an endpoint belongs to the interface before it
    if (d[0] != EndpointDescriptorLength && d[0] != AudioEndpointDescriptorLength) return STATUS_DEVICE_DATA_ERROR;
    UCHAR address = d[2];
    if (!ValidEndpointAddress(address) || (walk->addressesSeen & AddressBit(address))) return STATUS_DEVICE_DATA_ERROR;
    if (++walk->endpointsSeen > walk->endpointsDeclared) return STATUS_DEVICE_DATA_ERROR;
    walk->addressesSeen |= AddressBit(address);
    return STATUS_SUCCESS;
}

BOOLEAN CameraPipeFits(const UCHAR* endpoint, ULONG pipe) {
    UCHAR type = endpoint[3] & USB_ENDPOINT_TYPE_MASK;
    if (type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT) return FALSE;
    BOOLEAN in = USB_ENDPOINT_DIRECTION_IN(endpoint[2]) != 0;
    return pipe == 0 ? !in : in;  // commands out on pipe 0, replies and frames in on 1 and 2
}

}  // namespace

NTSTATUS CheckDeviceDescriptor(const UCHAR* bytes, ULONG received) {
    if (received < DeviceDescriptorLength || bytes[0] != DeviceDescriptorLength ||
        bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE)
        return STATUS_DEVICE_DATA_ERROR;
    return STATUS_SUCCESS;
}

NTSTATUS CheckConfigurationHeader(const UCHAR* bytes, ULONG received, USHORT* totalLength) {
    if (received < ConfigurationHeaderLength || bytes[0] != ConfigurationHeaderLength ||
        bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE || Read16(bytes + 2) < ConfigurationHeaderLength)
        return STATUS_DEVICE_DATA_ERROR;
    // bConfigurationValue 0 names no configuration: SET_CONFIGURATION 0
    // returns the device to its address state, so selecting it would leave
    // the camera unconfigured behind a start that reported success.
    if (bytes[5] == 0) return STATUS_DEVICE_DATA_ERROR;
    *totalLength = Read16(bytes + 2);
    return STATUS_SUCCESS;
}

NTSTATUS ValidateConfigurationDescriptor(const UCHAR* bytes, ULONG received) {
    USHORT total = 0;
    NTSTATUS status = CheckConfigurationHeader(bytes, received, &total);
    if (!NT_SUCCESS(status)) return status;
    UCHAR interfaceCount = bytes[4];
    if (total > received || interfaceCount == 0) return STATUS_DEVICE_DATA_ERROR;
    LONG highestNumber = -1;
    ULONG distinctInterfaces = 0;
    InterfaceWalk walk{};
    for (ULONG offset = ConfigurationHeaderLength; offset < total;) {
        const UCHAR* d = bytes + offset;
        // A descriptor's two-byte head, then all of it, must lie inside.
        if (total - offset < 2 || d[0] < 2 || d[0] > total - offset) return STATUS_DEVICE_DATA_ERROR;
        switch (d[1]) {
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            return STATUS_DEVICE_DATA_ERROR;
        case USB_INTERFACE_DESCRIPTOR_TYPE:
            status = CheckInterface(bytes, offset, interfaceCount, &highestNumber, &distinctInterfaces, &walk);
            break;
        case USB_ENDPOINT_DESCRIPTOR_TYPE:
            status = CheckEndpoint(d, &walk);
            break;
        default:  // class and vendor descriptors are only stepped over
            break;
        }
        if (!NT_SUCCESS(status)) return status;
        offset += d[0];
    }
    if (!InterfaceComplete(walk) || distinctInterfaces != interfaceCount) return STATUS_DEVICE_DATA_ERROR;
    return STATUS_SUCCESS;
}

NTSTATUS CheckCameraInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    if (!interface || interface->bNumEndpoints < CameraPipeCount) return STATUS_DEVICE_DATA_ERROR;
    // The descriptor is valid: the interface's endpoints follow it, each
    // wholly inside wTotalLength.
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(configuration);
    ULONG offset = static_cast<ULONG>(reinterpret_cast<const UCHAR*>(interface) - bytes) + interface->bLength;
    ULONG pipe = 0;
    while (pipe < CameraPipeCount && offset < configuration->wTotalLength) {
        const UCHAR* d = bytes + offset;
        if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (!CameraPipeFits(d, pipe)) return STATUS_DEVICE_DATA_ERROR;
            ++pipe;
        }
        offset += d[0];
    }
    return pipe == CameraPipeCount ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR;
}
