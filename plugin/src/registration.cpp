#include "registration.h"

#include <strmif.h>
#include <uuids.h>
#include <wchar.h>

#include "IQuelvixDSProxyConfig.h"
#include "class_table.h"
#include "module.h"

namespace {

const wchar_t kMediaSets[] = L"System\\CurrentControlSet\\Control\\MediaSets";
const wchar_t kMediaInterfaces[] = L"System\\CurrentControlSet\\Control\\MediaInterfaces";
const wchar_t kPageDisplayName[] = L"Morvex Camera Property Page";
const wchar_t kExtensionDisplayName[] = L"Quelvix DS Proxy Extension Interface";

const int kGuidChars = 39;  // 38 characters and the terminating zero

HRESULT FromWin32(LONG status) {
    return static_cast<HRESULT>(0x80070000u | (static_cast<ULONG>(status) & 0xFFFFu));
}

struct GuidText {
    explicit GuidText(REFGUID guid) { StringFromGUID2(guid, text, kGuidChars); }
    wchar_t text[kGuidChars];
};

// REG_SZ data is written with its terminating zero.
LONG SetString(HKEY key, const wchar_t* name, const wchar_t* text) {
    const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG CreateKey(HKEY parent, const wchar_t* name, HKEY* key) {
    return RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, key, nullptr);
}

// The library's own full path in UTF-16. The wide call is used so that a path
// with characters outside the ANSI code page is registered as it is, not
// mangled by a code-page conversion; a path that does not fit is a failure
// rather than a truncated (wrong) registration.
HRESULT GetLibraryPath(wchar_t (&path)[MAX_PATH]) {
    const DWORD length = GetModuleFileNameW(module::Instance(), path, MAX_PATH);
    if (length == 0) return FromWin32(static_cast<LONG>(GetLastError()));
    if (length >= MAX_PATH) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

// "CLSID\{clsid}", the entry's key under HKEY_CLASSES_ROOT.
void ClassKeyName(const ServerClass& entry, wchar_t (&keyName)[MAX_PATH]) {
    swprintf(keyName, MAX_PATH, L"CLSID\\%ls", GuidText(*entry.clsid).text);
}

// HKCR\CLSID\{clsid} = name, with InprocServer32 = path and ThreadingModel = Both.
HRESULT WriteClassKeys(const ServerClass& entry, const wchar_t* path) {
    wchar_t keyName[MAX_PATH];
    ClassKeyName(entry, keyName);

    HKEY classKey = nullptr;
    LONG status = RegCreateKeyW(HKEY_CLASSES_ROOT, keyName, &classKey);
    if (status != ERROR_SUCCESS) return FromWin32(status);
    status = SetString(classKey, nullptr, entry.name);
    if (status == ERROR_SUCCESS) {
        HKEY serverKey = nullptr;
        status = RegCreateKeyW(classKey, L"InprocServer32", &serverKey);
        if (status == ERROR_SUCCESS) {
            status = SetString(serverKey, nullptr, path);
            if (status == ERROR_SUCCESS) status = SetString(serverKey, L"ThreadingModel", L"Both");
            RegCloseKey(serverKey);
        }
    }
    RegCloseKey(classKey);
    return status == ERROR_SUCCESS ? S_OK : FromWin32(status);
}

// Deletes a key and everything below it, depth first. A subkey that cannot be
// removed ends the loop: enumerating index 0 again would find it forever.
LONG DeleteKeyTree(HKEY parent, const wchar_t* name) {
    HKEY key = nullptr;
    const LONG status = RegOpenKeyExW(parent, name, 0, MAXIMUM_ALLOWED, &key);
    if (status != ERROR_SUCCESS) return status;
    for (;;) {
        wchar_t child[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        if (DeleteKeyTree(key, child) != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    return RegDeleteKeyW(parent, name);
}

void DeleteClassKeys(const ServerClass& entry) {
    wchar_t keyName[MAX_PATH];
    ClassKeyName(entry, keyName);
    DeleteKeyTree(HKEY_CLASSES_ROOT, keyName);
}

HRESULT UpdateMapper2(IFilterMapper2* mapper, bool registering) {
    HRESULT result = S_OK;
    for (int i = 0; i < ServerClassCount; ++i) {
        const ServerClass& entry = ServerClassTable[i];
        if (!entry.filterData) continue;
        if (registering) {
            const HRESULT hr = mapper->RegisterFilter(*entry.clsid, entry.name, nullptr, nullptr,
                                                      nullptr, entry.filterData);
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        } else {
            mapper->UnregisterFilter(nullptr, nullptr, *entry.clsid);
        }
    }
    return result;
}

// The older mapper only knows a filter's name and merit; pin data needs the newer one.
HRESULT UpdateMapper1(IFilterMapper* mapper, bool registering) {
    HRESULT result = S_OK;
    for (int i = 0; i < ServerClassCount; ++i) {
        const ServerClass& entry = ServerClassTable[i];
        if (!entry.filterData) continue;
        if (registering) {
            const HRESULT hr = mapper->RegisterFilter(*entry.clsid, entry.name,
                                                      entry.filterData->dwMerit);
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        } else {
            mapper->UnregisterFilter(*entry.clsid);
        }
    }
    return result;
}

// Creating the mapper is also the check that the platform's filter graph
// services are present; when neither mapper exists that failure is the result.
HRESULT UpdateFilterMapper(bool registering) {
    const HRESULT init = CoInitialize(nullptr);
    IFilterMapper2* mapper2 = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFilterMapper2, reinterpret_cast<void**>(&mapper2));
    if (SUCCEEDED(hr)) {
        hr = UpdateMapper2(mapper2, registering);
        mapper2->Release();
    } else {
        IFilterMapper* mapper1 = nullptr;
        hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IFilterMapper, reinterpret_cast<void**>(&mapper1));
        if (SUCCEEDED(hr)) {
            hr = UpdateMapper1(mapper1, registering);
            mapper1->Release();
        }
    }
    CoFreeUnusedLibraries();
    // Balance only our own successful initialisation: uninitialising after a
    // failed CoInitialize (another apartment model already set) would tear down
    // the caller's COM.
    if (SUCCEEDED(init)) CoUninitialize();
    return hr;
}

// MediaSets\{set}\PropertyPages\{page} lists the page for filters with the set.
// Best effort: the page is an addition, the extension key decides the result.
void WritePropertyPageKey() {
    wchar_t keyName[1024];
    swprintf(keyName, 1024, L"%ls\\%ls\\PropertyPages\\%ls", kMediaSets,
             GuidText(IID_IQuelvixDSProxyConfig).text,
             GuidText(CLSID_QuelvixDSProxyPluginPage).text);
    HKEY key = nullptr;
    if (CreateKey(HKEY_LOCAL_MACHINE, keyName, &key) != ERROR_SUCCESS) return;
    SetString(key, nullptr, kPageDisplayName);
    RegCloseKey(key);
}

// MediaInterfaces\{set} makes the KS proxy aggregate the class with the set's
// GUID onto every filter supporting the set and expose the interface "IID".
HRESULT WriteExtensionKey() {
    wchar_t keyName[1024];
    swprintf(keyName, 1024, L"%ls\\%ls", kMediaInterfaces,
             GuidText(IID_IQuelvixDSProxyConfig).text);
    HKEY key = nullptr;
    LONG status = CreateKey(HKEY_LOCAL_MACHINE, keyName, &key);
    if (status != ERROR_SUCCESS) return FromWin32(status);
    status = SetString(key, nullptr, kExtensionDisplayName);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, L"IID", 0, REG_BINARY,
                                reinterpret_cast<const BYTE*>(&IID_IQuelvixDSProxyConfig),
                                sizeof(IID));
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? S_OK : FromWin32(status);
}

LONG OpenKey(HKEY parent, const wchar_t* name, HKEY* key) {
    return RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, key);
}

// Best effort, stopping at the first failure: the page entry, then its
// PropertyPages key, then the set's key (kept when other pages remain).
// Keys are only opened, never created: removing what is not there must not
// leave new empty keys behind.
void DeletePropertyPageKeys() {
    const GuidText set(IID_IQuelvixDSProxyConfig);
    wchar_t keyName[1024];
    swprintf(keyName, 1024, L"%ls\\%ls", kMediaSets, set.text);
    HKEY setKey = nullptr;
    if (OpenKey(HKEY_LOCAL_MACHINE, keyName, &setKey) != ERROR_SUCCESS) return;
    HKEY pagesKey = nullptr;
    LONG status = OpenKey(setKey, L"PropertyPages", &pagesKey);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteKeyW(pagesKey, GuidText(CLSID_QuelvixDSProxyPluginPage).text);
        RegCloseKey(pagesKey);
        if (status == ERROR_SUCCESS) status = RegDeleteKeyW(setKey, L"PropertyPages");
    }
    RegCloseKey(setKey);
    if (status != ERROR_SUCCESS) return;

    HKEY setsKey = nullptr;
    if (OpenKey(HKEY_LOCAL_MACHINE, kMediaSets, &setsKey) != ERROR_SUCCESS) return;
    RegDeleteKeyW(setsKey, set.text);
    RegCloseKey(setsKey);
}

// HKLM\System is one view for both bitnesses, so when an uninstaller runs
// regsvr32 /u on the 64-bit and then the 32-bit library, the first run has
// already removed this key. A key that is already absent counts as removed;
// any other failure is the result.
HRESULT DeleteExtensionKey() {
    HKEY interfacesKey = nullptr;
    LONG status = OpenKey(HKEY_LOCAL_MACHINE, kMediaInterfaces, &interfacesKey);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteKeyW(interfacesKey, GuidText(IID_IQuelvixDSProxyConfig).text);
        RegCloseKey(interfacesKey);
    }
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return S_OK;
    return FromWin32(status);
}

}  // namespace

HRESULT RegisterServers(bool registering) {
    wchar_t path[MAX_PATH];
    HRESULT hr = GetLibraryPath(path);
    if (FAILED(hr)) return hr;

    if (registering) {
        for (int i = 0; i < ServerClassCount; ++i) {
            hr = WriteClassKeys(ServerClassTable[i], path);
            if (FAILED(hr)) return hr;
        }
    }
    hr = UpdateFilterMapper(registering);
    if (!registering && SUCCEEDED(hr)) {
        // Removal of the class keys is best effort.
        for (int i = 0; i < ServerClassCount; ++i) DeleteClassKeys(ServerClassTable[i]);
        hr = S_OK;
    }
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    const HRESULT hr = RegisterServers(true);
    if (FAILED(hr)) return hr;
    WritePropertyPageKey();
    return WriteExtensionKey();
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    // Class keys and page keys go best effort; the extension key is what
    // makes the KS proxy load us, so its removal decides the result.
    RegisterServers(false);
    DeletePropertyPageKeys();
    return DeleteExtensionKey();
}
