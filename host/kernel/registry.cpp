// The kernel's registry calls over the host's stores: key handles, opening a
// device's driver key, creating keys, and querying and setting values.
#include "host/kernel/registry.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/irql.h"
#include "host/kernel/pnp_binding.h"
#include "host/kernel/pool.h"
#include "host/kernel/registry_faults.h"
#include "host/kernel/registry_key_tree.h"
#include "host/kernel/registry_store.h"
#include "host/kernel/violations.h"

namespace {

using hostk::RegistryAccess;
using hostk::RegistryStore;
using hostk::RegistryNode;

// A key handle: what ZwClose and the value calls find behind the HANDLE.
struct KeyHandle {
    hostk::HandleObject handle;  // first: the HANDLE points here
    RegistryStore* store;
    RegistryNode* node;  // keys are never deleted, so the node outlives the handle
    ACCESS_MASK access;
};

NTSTATUS CloseKeyHandle(hostk::HandleObject* object) {
    auto* key = reinterpret_cast<KeyHandle*>(object);
    {
        std::lock_guard<std::mutex> hold(RegistryAccess::Lock(key->store));
        RegistryAccess::HandleClosed(key->store);
    }
    ExFreePoolWithTag(key, hostk::kRegistryKeyTag);
    return STATUS_SUCCESS;
}

KeyHandle* KeyFromHandle(HANDLE handle) {
    auto* object = static_cast<hostk::HandleObject*>(handle);
    if (!object || object->kind != hostk::kHandleRegistryKey) return nullptr;
    return reinterpret_cast<KeyHandle*>(object);
}

// Called with the store's lock held.
NTSTATUS NewHandle(RegistryStore* store, RegistryNode* node, ACCESS_MASK access, PHANDLE result) {
    auto* key = static_cast<KeyHandle*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KeyHandle), hostk::kRegistryKeyTag));
    if (!key) return STATUS_INSUFFICIENT_RESOURCES;
    key->handle.kind = hostk::kHandleRegistryKey;
    key->handle.close = CloseKeyHandle;
    key->store = store;
    key->node = node;
    key->access = access;
    RegistryAccess::HandleOpened(store);
    *result = &key->handle;
    return STATUS_SUCCESS;
}

bool ValidString(PCUNICODE_STRING text) {
    return text && text->Length % 2 == 0 && text->Length <= text->MaximumLength && (text->Buffer || text->Length == 0);
}

std::string NameOf(PCUNICODE_STRING text) {
    return hostk::Utf16ToUtf8(text->Buffer, text->Length / 2);
}

// A key name longer than Windows allows (255 characters) is refused, as
// Windows refuses it; one holding a NUL or a line break, which Windows would
// take from a counted string, is refused too, because the store file could
// not state it and the next load would refuse the whole file. Both answer
// STATUS_INVALID_PARAMETER here (the status is the stand-in's choice).
bool StorableKeyName(const std::string& name) {
    std::string why;
    return hostk::CheckKeyPath("HKEY_LOCAL_MACHINE\\" + name, &why);
}

void RequirePassive(const char* call) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        hostk::ReportViolation("%s called at IRQL %d; the registry is PASSIVE_LEVEL only", call, KeGetCurrentIrql());
    }
}

}  // namespace

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType, ACCESS_MASK desiredAccess,
                                 PHANDLE devInstRegKey) {
    RequirePassive("IoOpenDeviceRegistryKey");
    if (!devInstRegKey) return STATUS_INVALID_PARAMETER;
    if (devInstKeyType != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
    RegistryStore* store = nullptr;
    std::string driverKey;
    if (!hostk::BoundDeviceRegistry(deviceObject, &store, &driverKey)) return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO of ours
    NTSTATUS injected;
    if (hostk::InjectedFailure(hostk::RegistryCall::OpenDeviceKey, "", &injected)) return injected;
    std::lock_guard<std::mutex> hold(RegistryAccess::Lock(store));
    RegistryNode* node = RegistryAccess::FindLocked(store, driverKey);
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    return NewHandle(store, node, desiredAccess, devInstRegKey);
}

NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes, ULONG,
                     PUNICODE_STRING, ULONG createOptions, PULONG disposition) {
    RequirePassive("ZwCreateKey");
    if (!keyHandle || !objectAttributes) return STATUS_INVALID_PARAMETER;
    if (!objectAttributes->ObjectName) return STATUS_OBJECT_NAME_INVALID;
    if (!ValidString(objectAttributes->ObjectName)) return STATUS_INVALID_PARAMETER;
    // Volatile keys would need a second, unsaved kind of key; nothing here
    // creates one, so the option is refused rather than quietly persisted.
    if (createOptions != REG_OPTION_NON_VOLATILE) return STATUS_INVALID_PARAMETER;
    std::string name = NameOf(objectAttributes->ObjectName);

    RegistryStore* store;
    RegistryNode* start;
    std::string relative;
    if (objectAttributes->RootDirectory) {
        KeyHandle* root = KeyFromHandle(objectAttributes->RootDirectory);
        if (!root) return STATUS_INVALID_HANDLE;
        // A name below a key handle is relative; a leading backslash would
        // make it absolute, which the object manager refuses.
        if (!name.empty() && name[0] == '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        store = root->store;
        start = root->node;
        relative = name;
    } else {
        // Absolute names are only reachable through a bound device's store;
        // the driver never uses them, so they are not offered.
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (relative.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::vector<std::string> parts = hostk::SplitPath(relative);
    for (const std::string& part : parts) {
        if (part.empty()) return STATUS_OBJECT_NAME_INVALID;
        if (!StorableKeyName(part)) return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS injected;
    if (hostk::InjectedFailure(hostk::RegistryCall::CreateKey, name, &injected)) return injected;

    // Access to the key named relative to a handle is checked against that
    // key, not against the handle: a handle opened for reading only may
    // still be the root of a key opened for everything.
    std::lock_guard<std::mutex> hold(RegistryAccess::Lock(store));
    RegistryNode* node = start;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        node = hostk::ChildOf(node, parts[i]);
        if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;  // one level per call, as on Windows
    }
    RegistryNode* key = hostk::ChildOf(node, parts.back());
    ULONG how = REG_OPENED_EXISTING_KEY;
    bool created = false;
    // Windows stops a tree 512 levels below its root key; refusing the
    // same here (with the status the stand-in uses for every registry
    // limit) also keeps every key one the store file can state.
    if (!key && node->depth >= hostk::kMaxKeyDepth + 1) return STATUS_INVALID_PARAMETER;
    if (!key) {
        key = hostk::AddChild(node, parts.back());
        how = REG_CREATED_NEW_KEY;
        created = true;
    }
    NTSTATUS status = NewHandle(store, key, desiredAccess, keyHandle);
    if (!NT_SUCCESS(status)) {
        if (created) hostk::RemoveChild(node, parts.back());
        return status;
    }
    if (created) RegistryAccess::Touch(store);
    if (disposition) *disposition = how;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation,
                         ULONG length, PULONG resultLength) {
    RequirePassive("ZwQueryValueKey");
    KeyHandle* key = KeyFromHandle(keyHandle);
    if (!key) return STATUS_INVALID_HANDLE;
    if (!(key->access & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
    // The partial form is the one drivers read single values with; the
    // basic and full forms are not offered.
    if (keyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    if (!ValidString(valueName) || !resultLength || (length && !keyValueInformation)) return STATUS_INVALID_PARAMETER;
    std::string name = NameOf(valueName);
    NTSTATUS injected;
    if (hostk::InjectedFailure(hostk::RegistryCall::QueryValue, name, &injected)) return injected;

    std::lock_guard<std::mutex> hold(RegistryAccess::Lock(key->store));
    hostk::RegFileValue* value = hostk::ValueOf(key->node, name);
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG size = static_cast<ULONG>(value->data.size());
    *resultLength = header + size;
    if (length < header) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(keyValueInformation);
    info->TitleIndex = 0;
    info->Type = value->type;
    info->DataLength = size;
    // Too small for the data: the fixed part is filled in and the caller
    // learns the size it needs, but no data is copied.
    if (length < header + size) return STATUS_BUFFER_OVERFLOW;
    if (size) std::memcpy(info->Data, value->data.data(), size);
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG, ULONG type, PVOID data, ULONG dataSize) {
    RequirePassive("ZwSetValueKey");
    KeyHandle* key = KeyFromHandle(keyHandle);
    if (!key) return STATUS_INVALID_HANDLE;
    if (!(key->access & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
    if (!ValidString(valueName) || (dataSize && !data)) return STATUS_INVALID_PARAMETER;
    std::string name = NameOf(valueName);
    NTSTATUS injected;
    if (hostk::InjectedFailure(hostk::RegistryCall::SetValue, name, &injected)) return injected;

    // Value names: Windows' 16,383 characters, and no NUL or line break,
    // for the reason StorableKeyName gives.
    std::string why;
    if (!hostk::CheckValueName(name, &why)) return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::mutex> hold(RegistryAccess::Lock(key->store));
    const auto* bytes = static_cast<const uint8_t*>(data);
    hostk::PutValue(key->node, hostk::RegFileValue{name, type, std::vector<uint8_t>(bytes, bytes + dataSize)});
    RegistryAccess::Touch(key->store);
    return STATUS_SUCCESS;
}
