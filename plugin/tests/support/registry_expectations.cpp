#include "registry_expectations.h"

#include <gtest/gtest.h>

#include "IQuelvixDSProxyConfig.h"

RegistryValue ReadValue(HKEY root, const std::wstring& key, const wchar_t* name) {
    RegistryValue value;
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return value;
    DWORD size = 0;
    if (RegQueryValueExW(handle, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        value.bytes.resize(size);
        if (RegQueryValueExW(handle, name, nullptr, &value.type, value.bytes.data(), &size) ==
            ERROR_SUCCESS) {
            value.bytes.resize(size);
            value.found = true;
        }
    }
    RegCloseKey(handle);
    return value;
}

bool KeyExists(HKEY root, const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

std::vector<BYTE> StringBytes(const std::wstring& text) {
    const BYTE* begin = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(begin, begin + (text.size() + 1) * sizeof(wchar_t));
}

std::wstring GuidString(REFGUID guid) {
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

std::wstring ClassKey(REFCLSID clsid) { return L"CLSID\\" + GuidString(clsid); }

std::wstring MediaSetKey() {
    return L"System\\CurrentControlSet\\Control\\MediaSets\\" +
           GuidString(IID_IQuelvixDSProxyConfig);
}

std::wstring PropertyPagesKey() {
    return MediaSetKey() + L"\\PropertyPages\\" + GuidString(CLSID_QuelvixDSProxyPluginPage);
}

std::wstring MediaInterfaceKey() {
    return L"System\\CurrentControlSet\\Control\\MediaInterfaces\\" +
           GuidString(IID_IQuelvixDSProxyConfig);
}

namespace {

void ExpectString(HKEY root, const std::wstring& key, const wchar_t* name,
                  const std::wstring& expected) {
    const RegistryValue value = ReadValue(root, key, name);
    EXPECT_TRUE(value.found) << "missing " << std::string(key.begin(), key.end());
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.type);
    EXPECT_EQ(StringBytes(expected), value.bytes) << std::string(key.begin(), key.end());
}

// Paths are compared without regard to case, as the file system does.
void ExpectPath(HKEY root, const std::wstring& key, const std::wstring& expected) {
    const RegistryValue value = ReadValue(root, key, nullptr);
    ASSERT_TRUE(value.found);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.type);
    ASSERT_EQ((expected.size() + 1) * sizeof(wchar_t), value.bytes.size());
    const wchar_t* stored = reinterpret_cast<const wchar_t*>(value.bytes.data());
    EXPECT_EQ(L'\0', stored[expected.size()]);
    EXPECT_EQ(0, _wcsicmp(stored, expected.c_str()))
        << "registered " << std::wstring(stored).size() << " characters";
}

}  // namespace

void ExpectRegistered(const std::wstring& libraryPath) {
    const struct {
        const CLSID* clsid;
        const wchar_t* name;
    } classes[] = {
        {&CLSID_QuelvixDSProxyPluginPage, L"Morvex Camera Property Page"},
        {&IID_IQuelvixDSProxyConfig, L"Quelvix DS Proxy Extension Interface"},
    };
    for (const auto& entry : classes) {
        const std::wstring key = ClassKey(*entry.clsid);
        ExpectString(HKEY_CLASSES_ROOT, key, nullptr, entry.name);
        ExpectPath(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", libraryPath);
        ExpectString(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", L"Both");
    }
    ExpectString(HKEY_LOCAL_MACHINE, PropertyPagesKey(), nullptr, L"Morvex Camera Property Page");
    ExpectString(HKEY_LOCAL_MACHINE, MediaInterfaceKey(), nullptr,
                 L"Quelvix DS Proxy Extension Interface");

    const RegistryValue iid = ReadValue(HKEY_LOCAL_MACHINE, MediaInterfaceKey(), L"IID");
    EXPECT_TRUE(iid.found);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), iid.type);
    const std::vector<BYTE> expected = {0x22, 0x36, 0x62, 0x9B, 0x9B, 0x91, 0x39, 0x46,
                                        0xAD, 0xC0, 0xED, 0xF0, 0x00, 0x32, 0xB4, 0xB2};
    EXPECT_EQ(expected, iid.bytes);
}

void ExpectUnregistered() {
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(CLSID_QuelvixDSProxyPluginPage)));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(IID_IQuelvixDSProxyConfig)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, PropertyPagesKey()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MediaSetKey() + L"\\PropertyPages"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MediaSetKey()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MediaInterfaceKey()));
}
