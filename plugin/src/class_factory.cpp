#include "class_factory.h"

#include "module.h"

CClassFactory::CClassFactory(const ServerClass* entry)
    : CBaseObject(L"Class Factory"), m_entry(entry), m_refs(0) {}

STDMETHODIMP CClassFactory::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

// Interlocked like Release: a factory may be shared between apartments
// ("Both"), and a lost increment would destroy it while still referenced.
STDMETHODIMP_(ULONG) CClassFactory::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&m_refs));
}

STDMETHODIMP_(ULONG) CClassFactory::Release() {
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(refs);
}

STDMETHODIMP CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    // An aggregated object may only hand its owner the inner IUnknown.
    if (outer && !IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;

    HRESULT hr = S_OK;
    CUnknown* object = m_entry->create(outer, &hr);
    if (!object) return FAILED(hr) ? hr : E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete object;
        return hr;
    }
    // The AddRef/Release pair around the query destroys the fresh object when
    // the query fails, and leaves exactly the caller's reference when it succeeds.
    object->NonDelegatingAddRef();
    hr = object->NonDelegatingQueryInterface(iid, out);
    object->NonDelegatingRelease();
    return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL lock) {
    if (lock) {
        module::Lock();
    } else {
        module::Unlock();
    }
    return S_OK;
}
