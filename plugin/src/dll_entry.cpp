// The library's COM entry points: DllMain, DllGetClassObject, DllCanUnloadNow.
#include <new>

#include "class_factory.h"
#include "module.h"

namespace {

void CallInitRoutines(BOOL loading) {
    for (int i = 0; i < ServerClassCount; ++i) {
        const ServerClass& entry = ServerClassTable[i];
        if (entry.init) entry.init(loading, entry.clsid);
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        // The library keeps no per-thread state.
        DisableThreadLibraryCalls(instance);
        module::SetInstance(instance);
        CallInitRoutines(TRUE);
        break;
    case DLL_PROCESS_DETACH:
        CallInitRoutines(FALSE);
        break;
    default:
        break;
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    // A null out pointer is refused instead of written through.
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    const ServerClass* entry = FindServerClass(clsid);
    if (!entry) return CLASS_E_CLASSNOTAVAILABLE;

    CClassFactory* factory = new (std::nothrow) CClassFactory(entry);
    if (!factory) return E_OUTOFMEMORY;
    factory->AddRef();
    *out = static_cast<IClassFactory*>(factory);
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return module::InUse() ? S_FALSE : S_OK;
}
