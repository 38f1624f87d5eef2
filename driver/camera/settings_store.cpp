// Settings persistence: the user's camera settings are loaded from the
// "Settings" subkey of the device's driver key at every device start and
// saved there when the filter closes and when the device stops.
#include "camera/settings_store.h"

#include "camera/sensor_registers.h"
#include "camera/setting_limits.h"
#include "camera/white_balance.h"
#include "device/device_context.h"
#include "device/read_timeout.h"
#include "pipeline/image_pipeline.h"

namespace {

constexpr WCHAR Backslash = '\\';

// One saved setting: its registry value, the CameraSettings field it holds,
// and what a start uses when the value is missing. The table order is the
// order the values are read and written in.
struct SavedSetting {
    const char* name;
    LONG CameraSettings::*field;
    LONG missingDefault;
};

enum SavedSettingIndex {
    SavedTimeout,
    SavedExposure,
    SavedGlobalGain,
    SavedFlipH,
    SavedFlipV,
    SavedColorEnable,
    SavedWhiteBalance,
    SavedColorCorrection,
    SavedBrightness,
    SavedContrast,
    SavedSaturation,
    SavedHue,
    SavedRedGain,
    SavedGreenGain,
    SavedBlueGain,
    SavedAgc,
    SavedAec,
    SavedSettingCount
};

// constexpr: the table is laid out by the compiler, no static constructor.
constexpr SavedSetting SavedSettings[SavedSettingCount] = {
    {"Timeout", &CameraSettings::timeout, 3000},
    // 0 is below the exposure's range; SetExposure turns it into 2.
    {"Exposure", &CameraSettings::exposure, 0},
    {"GlobalGain", &CameraSettings::globalGain, 100},
    {"FlipH", &CameraSettings::flipH, 0},
    {"FlipV", &CameraSettings::flipV, 0},
    {"ColorEnable", &CameraSettings::colorEnable, 1},
    {"WhiteBalance", &CameraSettings::whiteBalance, 0},
    {"ColorCorrection", &CameraSettings::colorCorrection, 1},
    {"Brightness", &CameraSettings::brightness, 255},
    {"Contrast", &CameraSettings::contrast, 10},
    {"Saturation", &CameraSettings::saturation, 10},
    {"Hue", &CameraSettings::hue, 0},
    {"RedGain", &CameraSettings::redGain, 128},
    {"GreenGain", &CameraSettings::greenGain, 128},
    {"BlueGain", &CameraSettings::blueGain, 128},
    {"AGC", &CameraSettings::agc, 0},
    {"AEC", &CameraSettings::aec, 0},
};

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
// one, the image pipeline, in the order the camera expects them.
VOID ApplySettings(DeviceContext* context, const LONG values[SavedSettingCount]) {
    CameraSettings* settings = &context->settings;
    // A wait outside 501..9999 ms from the registry is not trusted; the
    // property request may set more, but a start never inherits it.
    const LONG timeout = values[SavedTimeout];
    if (timeout >= MinimumSavedTimeout && timeout <= MaximumSavedTimeout) {
        settings->timeout = timeout;
        InterlockedExchange(&ReadTimeout, timeout);
    }
    SetExposure(context, values[SavedExposure]);
    SetGlobalGain(context, values[SavedGlobalGain]);

    ImagePipeline* pipeline = context->pipeline;
    settings->colorEnable = values[SavedColorEnable];
    if (pipeline) SetColorEnable(pipeline, settings->colorEnable);
    SwitchAutoWhiteBalance(context, values[SavedWhiteBalance]);

    settings->colorCorrection = values[SavedColorCorrection];
    settings->brightness = ClampSetting(values[SavedBrightness], MinimumBrightness, MaximumBrightness);
    settings->contrast = ClampSetting(values[SavedContrast], MinimumContrast, MaximumContrast);
    settings->saturation = ClampSetting(values[SavedSaturation], MinimumSaturation, MaximumSaturation);
    settings->hue = ClampSetting(values[SavedHue], MinimumHue, MaximumHue);
    if (pipeline) {
        // Each rebuilds its stage only when the value differs.
        UpdateColorCorrection(pipeline, settings->colorCorrection);
        UpdateBrightness(pipeline, settings->brightness);
        UpdateContrast(pipeline, settings->contrast);
        UpdateSaturation(pipeline, settings->saturation);
        UpdateHue(pipeline, settings->hue);
    }

    settings->redGain = ClampSetting(values[SavedRedGain], MinimumColorGain, MaximumColorGain);
    settings->greenGain = ClampSetting(values[SavedGreenGain], MinimumColorGain, MaximumColorGain);
    settings->blueGain = ClampSetting(values[SavedBlueGain], MinimumColorGain, MaximumColorGain);
    if (pipeline) {
        SetRedGain(pipeline, settings->redGain);
        SetGreenGain(pipeline, settings->greenGain);
        SetBlueGain(pipeline, settings->blueGain);
    }
    // FlipH, FlipV, AGC and AEC are read but not applied: the driver has no
    // mirroring and no automatic gain or exposure, so those fields keep the
    // 0 of device add and the next save writes 0 back.
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
    // The type is not examined (a REG_BINARY or REG_QWORD of the right size
    // reads as its first four bytes), but fewer than four bytes would leave
    // part of the number to whatever the buffer held: such a value counts as
    // missing and the setting keeps its default.
    if (info->DataLength < sizeof(LONG)) return STATUS_OBJECT_NAME_NOT_FOUND;
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
    LONG values[SavedSettingCount];
    for (ULONG i = 0; i < SavedSettingCount; ++i) {
        RegistryName name;
        MakeRegistryName(&name, SavedSettings[i].name);
        values[i] = SavedSettings[i].missingDefault;
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
    LONG values[SavedSettingCount];
    AcquireCommandLock(context);
    for (ULONG i = 0; i < SavedSettingCount; ++i) values[i] = context->settings.*SavedSettings[i].field;
    ReleaseCommandLock(context);
    for (ULONG i = 0; i < SavedSettingCount; ++i) {
        RegistryName name;
        MakeRegistryName(&name, SavedSettings[i].name);
        // Written as they stand, unchecked; a failed write does not stop the
        // others.
        WriteDwordValue(settingsKey, &name.string, values[i]);
    }
    CloseDeviceSettings(driverKey, settingsKey);
    return TRUE;
}
