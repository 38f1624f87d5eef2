#include "config_object.h"

#include <new>
#include <string.h>

namespace {

const ULONG kTypeGet = 1;  // KSPROPERTY_TYPE_GET
const ULONG kTypeSet = 2;  // KSPROPERTY_TYPE_SET
const ULONG kRoiId = 44;

// The request buffer: a KSPROPERTY header, then the value(s). The same buffer
// goes out as instance data and as property data.
#pragma pack(push, 4)
struct ValueRequest {
    GUID set;
    ULONG id;
    ULONG flags;
    LONG value;
    LONG reserved;
};
struct RoiRequest {
    GUID set;
    ULONG id;
    ULONG flags;
    LONG subsample;
    LONG x;
    LONG y;
    LONG width;
    LONG height;
    LONG reserved;
};
#pragma pack(pop)
static_assert(sizeof(ValueRequest) == 32, "value request is 32 bytes");
static_assert(sizeof(RoiRequest) == 48, "region request is 48 bytes");

ValueRequest MakeValueRequest(ULONG id, ULONG flags, LONG value) {
    ValueRequest request;
    memset(&request, 0, sizeof(request));
    request.set = IID_IQuelvixDSProxyConfig;
    request.id = id;
    request.flags = flags;
    request.value = value;
    return request;
}

}  // namespace

CUnknown* CQuelvixDSProxyConfig::CreateInstance(IUnknown* outer, HRESULT* result) {
    if (!outer) {
        *result = VFW_E_NEED_OWNER;
        return nullptr;
    }
    IKsPropertySet* propertySet = nullptr;
    HRESULT hr = outer->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&propertySet));
    if (FAILED(hr)) {
        *result = hr;
        return nullptr;
    }
    CQuelvixDSProxyConfig* object = new (std::nothrow) CQuelvixDSProxyConfig(outer, propertySet);
    // Drop the reference at once, see m_propertySet.
    propertySet->Release();
    if (!object) {
        *result = E_OUTOFMEMORY;
        return nullptr;
    }
    *result = hr;
    return object;
}

CQuelvixDSProxyConfig::CQuelvixDSProxyConfig(IUnknown* outer, IKsPropertySet* propertySet)
    : CUnknown(L"Quelvix DS Proxy Extension Interface", outer), m_propertySet(propertySet) {}

STDMETHODIMP CQuelvixDSProxyConfig::NonDelegatingQueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IQuelvixDSProxyConfig)) {
        return GetInterface(static_cast<IQuelvixDSProxyConfig*>(this), out);
    }
    return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP CQuelvixDSProxyConfig::GetValue(ULONG id, LONG* value) {
    if (!value) return E_POINTER;
    ValueRequest request = MakeValueRequest(id, kTypeGet, *value);
    ULONG returned = 0;
    const HRESULT hr = m_propertySet->Get(IID_IQuelvixDSProxyConfig, id, &request,
                                          sizeof(request), &request, sizeof(request), &returned);
    // Copied back whatever the result: a request that fails without touching
    // the buffer leaves the caller's preset, which the page shows as its default.
    *value = request.value;
    return hr;
}

STDMETHODIMP CQuelvixDSProxyConfig::SetValue(ULONG id, LONG value) {
    ValueRequest request = MakeValueRequest(id, kTypeSet, value);
    return m_propertySet->Set(IID_IQuelvixDSProxyConfig, id, &request, sizeof(request),
                              &request, sizeof(request));
}

STDMETHODIMP CQuelvixDSProxyConfig::SetRoi(LONG subsample, LONG x, LONG y, LONG width,
                                           LONG height) {
    RoiRequest request;
    memset(&request, 0, sizeof(request));
    request.set = IID_IQuelvixDSProxyConfig;
    request.id = kRoiId;
    request.flags = kTypeSet;
    request.subsample = subsample;
    request.x = x;
    request.y = y;
    request.width = width;
    request.height = height;
    return m_propertySet->Set(IID_IQuelvixDSProxyConfig, kRoiId, &request, sizeof(request),
                              &request, sizeof(request));
}
