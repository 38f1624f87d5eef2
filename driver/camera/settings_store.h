// Settings persistence: the "Settings" subkey of the device's driver key and
// its REG_DWORD values, and the settings load (device start) and save
// (device stop, filter close) built on them.
#pragma once

#include "driver/wdk.h"

class DeviceContext;

// Applies the settings saved in the "Settings" subkey of the device's driver
// key to the settings, the camera and the pipeline. False when the key could
// not be opened; then nothing changed. PASSIVE_LEVEL.
BOOLEAN LoadSettings(DeviceContext* context);
// Writes the saved settings (one per row of CameraSettingRows) as they stand. False when the key could
// not be opened; a failed value write is skipped. PASSIVE_LEVEL.
BOOLEAN SaveSettings(DeviceContext* context);

// Opens or creates `path` below `parent` with full access. A path may name
// nested keys separated by backslashes: a key can only be created below one
// that exists, so each prefix ending before a backslash (a backslash in the
// first character does not count) is created first and closed again; the
// first failure ends the walk with its status. PASSIVE_LEVEL.
NTSTATUS OpenKeyPath(HANDLE parent, PUNICODE_STRING path, PHANDLE key);
// OpenKeyPath for "Settings".
NTSTATUS OpenSettingsKey(HANDLE parent, PHANDLE key);

// Reads value `name` into `value` when it is a four-byte REG_DWORD;
// otherwise `value` is left alone and the status says why (a value of
// another type or size reads as missing). PASSIVE_LEVEL.
NTSTATUS ReadDwordValue(HANDLE key, PUNICODE_STRING name, LONG* value);
// Writes `value` as a REG_DWORD; a failure is the caller's to ignore.
NTSTATUS WriteDwordValue(HANDLE key, PUNICODE_STRING name, LONG value);

// A registry name made from an ASCII string. Wide literals are 16 bits on
// Windows but 32 on the host, so names are widened into this buffer instead.
struct RegistryName {
    WCHAR text[48];
    UNICODE_STRING string;
};
VOID MakeRegistryName(RegistryName* name, const char* ascii);
