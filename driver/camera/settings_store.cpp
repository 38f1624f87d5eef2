// Settings persistence: the user's camera settings are loaded from the
// "Settings" subkey of the device's driver key at every device start and
// saved there when the filter closes and when the device stops.
#include "driver/camera/settings_store.h"

#include "driver/camera/camera_settings.h"
#include "driver/camera/sensor_registers.h"
#include "driver/camera/white_balance.h"
#include "driver/device/device_context.h"

namespace {

constexpr WCHAR Backslash = '\\';

NTSTATUS CreateOneKey(HANDLE parent, PUNICODE_STRING name, PHANDLE key) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, nullptr);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

// Opens the device's driver key and "Settings" below it. False when either
// is missing; then nothing is left open.
BOOLEAN OpenDeviceSettings(DeviceContext* context, HANDLE* driverKey, HANDLE* settingsKey) {
    *driverKey = nullptr;
    *settingsKey = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(context->device->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                              STANDARD_RIGHTS_READ, driverKey);
    if (status != STATUS_SUCCESS || !*driverKey) {
        // A failure may still have written the handle; it is not a handle.
        *driverKey = nullptr;
        return FALSE;
    }
    status = OpenSettingsKey(*driverKey, settingsKey);
    if (!NT_SUCCESS(status) || !*settingsKey) {
        ZwClose(*driverKey);
        *driverKey = nullptr;
        *settingsKey = nullptr;
        return FALSE;
    }
    return TRUE;
}

VOID CloseDeviceSettings(HANDLE driverKey, HANDLE settingsKey) {
    ZwClose(settingsKey);
    ZwClose(driverKey);
}

// Puts the loaded values into the settings, the camera and, when a pin holds
// one, the image pipeline, in the rows' order, which is the order the camera
// expects them in. Each goes the way a property set goes, once it is inside
// the row's load range.
VOID ApplySettings(DeviceContext* context, const LONG values[CameraSettingCount]) {
    for (ULONG i = 0; i < CameraSettingCount; ++i) {
        const CameraSettingRow& row = CameraSettingRows[i];
        if (InSettingRange(values[i], row.loadRange)) ApplyCameraSetting(context, row.property, values[i]);
    }
}

}  // namespace

VOID MakeRegistryName(RegistryName* name, const char* ascii) {
    USHORT count = 0;
    const USHORT capacity = sizeof name->text / sizeof name->text[0] - 1;
    while (ascii[count] && count < capacity) {
        name->text[count] = static_cast<WCHAR>(static_cast<UCHAR>(ascii[count]));
        ++count;
    }
    name->text[count] = 0;
    name->string.Buffer = name->text;
    name->string.Length = static_cast<USHORT>(count * sizeof(WCHAR));
    name->string.MaximumLength = static_cast<USHORT>((count + 1) * sizeof(WCHAR));
}

NTSTATUS OpenKeyPath(HANDLE parent, PUNICODE_STRING path, PHANDLE key) {
    PAGED_CODE();
    *key = nullptr;
    const USHORT count = path->Length / sizeof(WCHAR);
    for (USHORT i = 1; i < count; ++i) {
        if (path->Buffer[i] != Backslash) continue;
        UNICODE_STRING prefix;
        prefix.Buffer = path->Buffer;
        prefix.Length = static_cast<USHORT>(i * sizeof(WCHAR));
        prefix.MaximumLength = prefix.Length;
        HANDLE prefixKey = nullptr;
        NTSTATUS status = CreateOneKey(parent, &prefix, &prefixKey);
        if (!NT_SUCCESS(status)) return status;
        ZwClose(prefixKey);
    }
    return CreateOneKey(parent, path, key);
}

NTSTATUS OpenSettingsKey(HANDLE parent, PHANDLE key) {
    RegistryName path;
    MakeRegistryName(&path, "Settings");
    return OpenKeyPath(parent, &path.string, key);
}

NTSTATUS ReadDwordValue(HANDLE key, PUNICODE_STRING name, LONG* value) {
    PAGED_CODE();
    // Room for the fixed part and eight data bytes; ULONGs keep it aligned.
    ULONG buffer[(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + 8 + sizeof(ULONG) - 1) / sizeof(ULONG)];
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, name, KeyValuePartialInformation, buffer, sizeof buffer, &resultLength);
    if (!NT_SUCCESS(status)) return status;
    auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    // Only a four-byte REG_DWORD is a setting. A hand-edited value of another
    // type or size ("x", "300", a REG_BINARY) is no number the driver wrote:
    // it counts as missing, and the setting keeps its default.
    if (info->Type != REG_DWORD || info->DataLength != sizeof(LONG)) return STATUS_OBJECT_NAME_NOT_FOUND;
    RtlCopyMemory(value, info->Data, sizeof(LONG));
    return STATUS_SUCCESS;
}

NTSTATUS WriteDwordValue(HANDLE key, PUNICODE_STRING name, LONG value) {
    PAGED_CODE();
    return ZwSetValueKey(key, name, 0, REG_DWORD, &value, sizeof value);
}

BOOLEAN LoadSettings(DeviceContext* context) {
    PAGED_CODE();
    HANDLE driverKey;
    HANDLE settingsKey;
    if (!OpenDeviceSettings(context, &driverKey, &settingsKey)) return FALSE;
    LONG values[CameraSettingCount];
    for (ULONG i = 0; i < CameraSettingCount; ++i) {
        RegistryName name;
        MakeRegistryName(&name, CameraPropertyName(CameraSettingRows[i].property));
        values[i] = CameraSettingRows[i].savedDefault;
        // A missing or unreadable value keeps its default.
        ReadDwordValue(settingsKey, &name.string, &values[i]);
    }
    // The keys are let go before the camera is talked to; the values are in
    // hand and applying them takes dozens of packets.
    CloseDeviceSettings(driverKey, settingsKey);
    AcquireCommandLock(context);
    ApplySettings(context, values);
    ReleaseCommandLock(context);
    return TRUE;
}

BOOLEAN SaveSettings(DeviceContext* context) {
    PAGED_CODE();
    HANDLE driverKey;
    HANDLE settingsKey;
    if (!OpenDeviceSettings(context, &driverKey, &settingsKey)) return FALSE;
    // One consistent set: a property request may be changing the fields.
    LONG values[CameraSettingCount];
    AcquireCommandLock(context);
    for (ULONG i = 0; i < CameraSettingCount; ++i) values[i] = context->settings.*CameraSettingRows[i].field;
    ReleaseCommandLock(context);
    for (ULONG i = 0; i < CameraSettingCount; ++i) {
        RegistryName name;
        MakeRegistryName(&name, CameraPropertyName(CameraSettingRows[i].property));
        // Written as they stand, unchecked; a failed write does not stop the
        // others.
        WriteDwordValue(settingsKey, &name.string, values[i]);
    }
    CloseDeviceSettings(driverKey, settingsKey);
    return TRUE;
}
