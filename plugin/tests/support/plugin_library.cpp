#include "plugin_library.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

template <typename T>
void Resolve(HMODULE module, const char* name, T* function) {
    *function = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L'\\') + 1);
}

std::wstring PluginPath() { return ProgramDirectory() + L"QuelvixProxyPlugin.dll"; }

bool LoadPluginFrom(const std::wstring& path, PluginLibrary* library) {
    library->module = LoadLibraryW(path.c_str());
    if (!library->module) return false;
    Resolve(library->module, "DllGetClassObject", &library->GetClassObject);
    Resolve(library->module, "DllCanUnloadNow", &library->CanUnloadNow);
    Resolve(library->module, "DllRegisterServer", &library->RegisterServer);
    Resolve(library->module, "DllUnregisterServer", &library->UnregisterServer);
    return library->GetClassObject && library->CanUnloadNow && library->RegisterServer &&
           library->UnregisterServer;
}

const PluginLibrary& Plugin() {
    static PluginLibrary library;
    static bool loaded = false;
    if (!loaded) {
        if (!LoadPluginFrom(PluginPath(), &library)) {
            std::fprintf(stderr, "cannot load %ls (error %lu)\n", PluginPath().c_str(),
                         GetLastError());
            std::abort();
        }
        loaded = true;
    }
    return library;
}

IClassFactory* GetFactory(REFCLSID clsid) {
    IClassFactory* factory = nullptr;
    const HRESULT hr =
        Plugin().GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    EXPECT_EQ(S_OK, hr);
    return factory;
}
