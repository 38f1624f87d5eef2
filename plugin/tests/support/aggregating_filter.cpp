#include "aggregating_filter.h"

#include "plugin_library.h"

AggregatingFilter::~AggregatingFilter() {
    if (inner) inner->Release();
}

HRESULT AggregatingFilter::Aggregate() {
    IClassFactory* factory = nullptr;
    HRESULT hr = Plugin().GetClassObject(IID_IQuelvixDSProxyConfig, IID_IClassFactory,
                                         reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    // As the proxy does: the filter is the outer object, and it keeps the
    // inner object's own IUnknown.
    hr = factory->CreateInstance(this, IID_IUnknown, reinterpret_cast<void**>(&inner));
    factory->Release();
    return hr;
}

STDMETHODIMP AggregatingFilter::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || (m_offerPropertySet && IsEqualIID(iid, IID_IKsPropertySet))) {
        *out = static_cast<IKsPropertySet*>(this);
        AddRef();
        return S_OK;
    }
    if (inner && IsEqualIID(iid, IID_IQuelvixDSProxyConfig)) {
        return inner->QueryInterface(iid, out);
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) AggregatingFilter::AddRef() { return InterlockedIncrement(&m_refs); }

STDMETHODIMP_(ULONG) AggregatingFilter::Release() {
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) delete this;
    return refs;
}

IQuelvixDSProxyConfig* AggregatingFilter::Config() {
    IQuelvixDSProxyConfig* config = nullptr;
    QueryInterface(IID_IQuelvixDSProxyConfig, reinterpret_cast<void**>(&config));
    return config;
}
