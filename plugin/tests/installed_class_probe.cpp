// Creates the plug-in's two classes through COM, from whichever library the
// registry of this process's bitness names, as a capture application and the
// KS proxy would, and checks which library that was:
//
//     installed_class_probe.exe EXPECTED_LIBRARY_PATH
//
// The configuration class is created aggregated under a stand-in filter that
// offers IKsPropertySet (it exists only inside such an owner); the page class
// on its own. Exit status 0 when both came from EXPECTED_LIBRARY_PATH; every
// failure is printed. Run by inf_install_test after the INF's install, once
// as a 64-bit and once as a 32-bit process.
#include <windows.h>
#include <ocidl.h>
#include <strmif.h>

#include <cstdio>
#include <cwchar>

#include "IQuelvixDSProxyConfig.h"

namespace {

// The outer object: the configuration class asks it for IKsPropertySet when
// it is created. No request reaches it here.
class Owner : public IKsPropertySet {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IKsPropertySet)) return E_NOINTERFACE;
        *out = static_cast<IKsPropertySet*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_refs); }
    STDMETHODIMP Set(REFGUID, DWORD, void*, DWORD, void*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Get(REFGUID, DWORD, void*, DWORD, void*, DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP QuerySupported(REFGUID, DWORD, DWORD*) override { return E_NOTIMPL; }

private:
    LONG m_refs = 1;  // on the stack: never freed through Release
};

// The file of the module whose code an interface's first method is.
bool LibraryOf(IUnknown* object, wchar_t* path, DWORD size) {
    void* code = reinterpret_cast<void*>((*reinterpret_cast<void***>(object))[0]);
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(code), &module))
        return false;
    return GetModuleFileNameW(module, path, size) != 0;
}

bool FromExpected(const char* what, IUnknown* object, const wchar_t* expected) {
    wchar_t path[MAX_PATH] = L"";
    if (!LibraryOf(object, path, MAX_PATH)) {
        std::printf("%s: no module holds its code\n", what);
        return false;
    }
    if (_wcsicmp(path, expected) != 0) {
        std::printf("%s came from %ls, not %ls\n", what, path, expected);
        return false;
    }
    std::printf("%s created from %ls\n", what, path);
    return true;
}

bool CreateConfig(const wchar_t* expected) {
    Owner owner;
    IUnknown* inner = nullptr;
    HRESULT hr = CoCreateInstance(IID_IQuelvixDSProxyConfig, &owner, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&inner));
    if (FAILED(hr)) {
        std::printf("configuration class: CoCreateInstance failed, 0x%08lx\n", static_cast<unsigned long>(hr));
        return false;
    }
    IQuelvixDSProxyConfig* config = nullptr;
    hr = inner->QueryInterface(IID_IQuelvixDSProxyConfig, reinterpret_cast<void**>(&config));
    bool ok = SUCCEEDED(hr) && FromExpected("configuration class", config, expected);
    if (FAILED(hr)) std::printf("configuration class: no IQuelvixDSProxyConfig, 0x%08lx\n", static_cast<unsigned long>(hr));
    if (config) config->Release();
    inner->Release();
    return ok;
}

bool CreatePage(const wchar_t* expected) {
    IPropertyPage* page = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_QuelvixDSProxyPluginPage, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                  reinterpret_cast<void**>(&page));
    if (FAILED(hr)) {
        std::printf("page class: CoCreateInstance failed, 0x%08lx\n", static_cast<unsigned long>(hr));
        return false;
    }
    const bool ok = FromExpected("page class", page, expected);
    page->Release();
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 2) {
        std::fprintf(stderr, "usage: installed_class_probe EXPECTED_LIBRARY_PATH\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;
    const bool config = CreateConfig(argv[1]);
    const bool page = CreatePage(argv[1]);
    CoUninitialize();
    std::printf("%d-bit process: %s\n", static_cast<int>(sizeof(void*) * 8), config && page ? "ok" : "FAILED");
    return config && page ? 0 : 1;
}
