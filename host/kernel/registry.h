// Registry access as a driver sees it: IoOpenDeviceRegistryKey for a device's
// driver (software) key, ZwCreateKey below it, ZwQueryValueKey with
// KeyValuePartialInformation, ZwSetValueKey, and ZwClose for the handles.
// Names, layouts and values are those of wdm.h. The keys live in a
// hostk::RegistryStore (registry_store.h), which the Plug and Play stand-in
// gives each device it adds.
#pragma once

#include "host/kernel/io.h"
#include "host/kernel/threads.h"

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define READ_CONTROL 0x00020000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & ~SYNCHRONIZE)
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)
#define KEY_ALL_ACCESS                                                                                          \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | \
      KEY_NOTIFY | KEY_CREATE_LINK) &                                                                       \
     ~SYNCHRONIZE)

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

// Statuses only the registry calls return.
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
    KeyValueFullInformationAlign64,
    KeyValuePartialInformationAlign64,
    KeyValueLayerInformation,
    MaxKeyValueInfoClass
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

// PASSIVE_LEVEL only, like every call below. Only PLUGPLAY_REGKEY_DRIVER is
// offered (the driver keeps nothing in its hardware key); the object must be
// a physical device object the Plug and Play stand-in knows.
NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType, ACCESS_MASK desiredAccess,
                                       PHANDLE devInstRegKey);
// Opens or creates one key. As on Windows the parent of the named key must
// exist: a name of several components whose middle ones are missing fails
// with STATUS_OBJECT_NAME_NOT_FOUND instead of creating them.
NTSTATUS NTAPI ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                           ULONG titleIndex, PUNICODE_STRING keyClass, ULONG createOptions, PULONG disposition);
NTSTATUS NTAPI ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                               KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation,
                               ULONG length, PULONG resultLength);
NTSTATUS NTAPI ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                             ULONG dataSize);
