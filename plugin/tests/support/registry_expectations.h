// Checks of the registry layout that registration writes, shared by the
// direct DllRegisterServer tests and the regsvr32 tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A value as stored: its type and raw bytes; `found` false when absent.
struct RegistryValue {
    bool found = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

RegistryValue ReadValue(HKEY root, const std::wstring& key, const wchar_t* name);
bool KeyExists(HKEY root, const std::wstring& key);
// The exact REG_SZ bytes of `text`, terminating zero included.
std::vector<BYTE> StringBytes(const std::wstring& text);
std::wstring GuidString(REFGUID guid);

// The registry keys of the layout.
std::wstring ClassKey(REFCLSID clsid);
std::wstring PropertyPagesKey();  // MediaSets\{set}\PropertyPages\{page}
std::wstring MediaSetKey();       // MediaSets\{set}
std::wstring MediaInterfaceKey(); // MediaInterfaces\{set}

// Adds a gtest failure for each value that differs from the registered layout
// (InprocServer32 must name `libraryPath`).
void ExpectRegistered(const std::wstring& libraryPath);
// Adds a gtest failure for each key of the layout that still exists.
void ExpectUnregistered();
