// The kernel streaming class (AVStream) as the driver sees it on the host:
// driver initialisation, the device object with its dispatch and object bag,
// the device mutex and filter factories. Names and layouts follow ks.h.
#pragma once

#include "host/kernel/io.h"

// A filter opened on a device that is leaving (surprise-removed, or its
// removal waiting for the last handle).
#ifndef STATUS_DELETE_PENDING
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#endif

typedef PVOID KSOBJECT_BAG;
typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;
typedef struct _KSFILTERFACTORY KSFILTERFACTORY, *PKSFILTERFACTORY;
typedef struct _KSFILTER_DESCRIPTOR KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;
typedef struct _CM_RESOURCE_LIST* PCM_RESOURCE_LIST;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef struct _DEVICE_CAPABILITIES* PDEVICE_CAPABILITIES;
typedef enum { PowerSystemUnspecified = 0, PowerSystemWorking = 1 } SYSTEM_POWER_STATE;
typedef enum { PowerDeviceUnspecified = 0, PowerDeviceD0 = 1, PowerDeviceD3 = 4 } DEVICE_POWER_STATE;

typedef VOID (NTAPI *PFNKSFREE)(PVOID data);
typedef NTSTATUS (NTAPI *PFNKSDEVICECREATE)(PKSDEVICE device);
typedef NTSTATUS (NTAPI *PFNKSDEVICEPNPSTART)(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                                              PCM_RESOURCE_LIST untranslatedResources);
typedef NTSTATUS (NTAPI *PFNKSDEVICE)(PKSDEVICE device);
typedef NTSTATUS (NTAPI *PFNKSDEVICEIRP)(PKSDEVICE device, PIRP irp);
typedef VOID (NTAPI *PFNKSDEVICEIRPVOID)(PKSDEVICE device, PIRP irp);
typedef NTSTATUS (NTAPI *PFNKSDEVICEQUERYCAPABILITIES)(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities);
typedef NTSTATUS (NTAPI *PFNKSDEVICEQUERYPOWER)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE deviceTo,
                                                DEVICE_POWER_STATE deviceFrom, SYSTEM_POWER_STATE systemTo,
                                                SYSTEM_POWER_STATE systemFrom, ULONG action);
typedef VOID (NTAPI *PFNKSDEVICESETPOWER)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);
typedef VOID (NTAPI *PFNKSFILTERFACTORYPOWER)(PKSFILTERFACTORY factory, DEVICE_POWER_STATE state);

typedef struct _KSDEVICE_DISPATCH {
    PFNKSDEVICECREATE Add;
    PFNKSDEVICEPNPSTART Start;
    PFNKSDEVICE PostStart;
    PFNKSDEVICEIRP QueryStop;
    PFNKSDEVICEIRPVOID CancelStop;
    PFNKSDEVICEIRPVOID Stop;
    PFNKSDEVICEIRP QueryRemove;
    PFNKSDEVICEIRPVOID CancelRemove;
    PFNKSDEVICEIRPVOID Remove;
    PFNKSDEVICEQUERYCAPABILITIES QueryCapabilities;
    PFNKSDEVICEIRPVOID SurpriseRemoval;
    PFNKSDEVICEQUERYPOWER QueryPower;
    PFNKSDEVICESETPOWER SetPower;
    PFNKSDEVICEIRP QueryInterface;
} KSDEVICE_DISPATCH, *PKSDEVICE_DISPATCH;

typedef struct _KSDEVICE_DESCRIPTOR {
    const KSDEVICE_DISPATCH* Dispatch;
    ULONG FilterDescriptorsCount;
    const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
    ULONG Version;
    ULONG Flags;
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;

struct _KSDEVICE {
    const KSDEVICE_DESCRIPTOR* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    BOOLEAN Started;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_POWER_STATE DevicePowerState;
};

#define KSCREATE_ITEM_SECURITYCHANGED 0x00000001
#define KSCREATE_ITEM_WILDCARD 0x00000002
#define KSCREATE_ITEM_NOPARAMETERS 0x00000004
#define KSCREATE_ITEM_FREEONSTOP 0x00000008

NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                                  const KSDEVICE_DESCRIPTOR* descriptor);
VOID NTAPI KsAcquireDevice(PKSDEVICE device);
VOID NTAPI KsReleaseDevice(PKSDEVICE device);
NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free);
ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG bag, PVOID item, BOOLEAN free);
NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor,
                                     PCWSTR refString, PSECURITY_DESCRIPTOR securityDescriptor, ULONG createItemFlags,
                                     PFNKSFILTERFACTORYPOWER sleepCallback, PFNKSFILTERFACTORYPOWER wakeCallback,
                                     PKSFILTERFACTORY* filterFactory);
PKSDEVICE NTAPI KsGetDeviceForDeviceObject(PDEVICE_OBJECT functionalDeviceObject);

// Filter descriptor of ks.h; the pin and automation types it points to
// follow in ks_streaming.h.
typedef struct _KSFILTER_DISPATCH KSFILTER_DISPATCH;
typedef struct KSAUTOMATION_TABLE_ KSAUTOMATION_TABLE;
typedef struct _KSPIN_DESCRIPTOR_EX KSPIN_DESCRIPTOR_EX;
typedef struct _KSNODE_DESCRIPTOR KSNODE_DESCRIPTOR;
typedef struct _KSTOPOLOGY_CONNECTION KSTOPOLOGY_CONNECTION;

struct _KSFILTER_DESCRIPTOR {
    const KSFILTER_DISPATCH* Dispatch;
    const KSAUTOMATION_TABLE* AutomationTable;
    ULONG Version;
    ULONG Flags;
    const GUID* ReferenceGuid;
    ULONG PinDescriptorsCount;
    ULONG PinDescriptorSize;
    const KSPIN_DESCRIPTOR_EX* PinDescriptors;
    ULONG CategoriesCount;
    const GUID* Categories;
    ULONG NodeDescriptorsCount;
    ULONG NodeDescriptorSize;
    const KSNODE_DESCRIPTOR* NodeDescriptors;
    ULONG ConnectionsCount;
    const KSTOPOLOGY_CONNECTION* Connections;
    const void* ComponentId;
};

#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)

// Filters, pins, formats, stream pointers and the clock (ks.h), then the
// video formats (ksmedia.h).
#include "host/ks/ks_streaming.h"
#include "host/ks/ksmedia.h"
