// Loads the plug-in DLL that sits next to the test program and exposes its
// exports, so every test exercises the library exactly as a COM client would.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <string>

struct PluginLibrary {
    HMODULE module = nullptr;
    HRESULT(STDAPICALLTYPE* GetClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* CanUnloadNow)() = nullptr;
    HRESULT(STDAPICALLTYPE* RegisterServer)() = nullptr;
    HRESULT(STDAPICALLTYPE* UnregisterServer)() = nullptr;
};

// The library loaded once per process (aborts the test run if it cannot load).
const PluginLibrary& Plugin();

// Loads a copy of the library from another path (for path-dependent tests).
bool LoadPluginFrom(const std::wstring& path, PluginLibrary* library);

// Full path of the DLL next to the running test program.
std::wstring PluginPath();
// The test program's own directory, with a trailing backslash.
std::wstring ProgramDirectory();

// Class factory for `clsid` from the loaded library; fails the test on error.
IClassFactory* GetFactory(REFCLSID clsid);
