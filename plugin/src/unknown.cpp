#include "unknown.h"

#include "module.h"

CBaseObject::CBaseObject(const wchar_t*) { module::ObjectCreated(); }

CBaseObject::~CBaseObject() { module::ObjectDestroyed(); }

CUnknown::CUnknown(const wchar_t* name, IUnknown* outer)
    : CBaseObject(name), m_owner(outer ? outer : InnerUnknown()), m_refs(0) {}

HRESULT CUnknown::GetInterface(IUnknown* itf, void** out) {
    *out = itf;
    itf->AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown)) return GetInterface(InnerUnknown(), out);
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() {
    const LONG refs = InterlockedIncrement(&m_refs);
    return refs > 1 ? static_cast<ULONG>(refs) : 1;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) {
        // Held at 1 while the destructor runs, so that an AddRef/Release pair made
        // during destruction cannot start a second destruction.
        m_refs = 1;
        delete this;
        return 0;
    }
    return refs > 1 ? static_cast<ULONG>(refs) : 1;
}
