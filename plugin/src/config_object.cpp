#include "config_object.h"

#include <new>
#include <string.h>

#include "camera_property_set.h"

namespace {

const ULONG kTypeGet = 1;  // KSPROPERTY_TYPE_GET
const ULONG kTypeSet = 2;  // KSPROPERTY_TYPE_SET

// The request buffer: the property header, then the value(s). The same
// buffer goes out as instance data and as property data.
void FillHeader(CameraPropertyHeader* header, ULONG id, ULONG flags) {
    header->Set = IID_IQuelvixDSProxyConfig;
    header->Id = id;
    header->Flags = flags;
}

CameraPropertyValue MakeValueRequest(ULONG id, ULONG flags, LONG value) {
    CameraPropertyValue request;
    memset(&request, 0, sizeof(request));
    FillHeader(&request.Property, id, flags);
    request.Value = value;
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
    CameraPropertyValue request = MakeValueRequest(id, kTypeGet, *value);
    ULONG returned = 0;
    const HRESULT hr = m_propertySet->Get(IID_IQuelvixDSProxyConfig, id, &request,
                                          sizeof(request), &request, sizeof(request), &returned);
    // Copied back whatever the result: a request that fails without touching
    // the buffer leaves the caller's preset, which the page shows as its default.
    *value = request.Value;
    return hr;
}

STDMETHODIMP CQuelvixDSProxyConfig::SetValue(ULONG id, LONG value) {
    CameraPropertyValue request = MakeValueRequest(id, kTypeSet, value);
    return m_propertySet->Set(IID_IQuelvixDSProxyConfig, id, &request, sizeof(request),
                              &request, sizeof(request));
}

STDMETHODIMP CQuelvixDSProxyConfig::SetRoi(LONG subsample, LONG x, LONG y, LONG width,
                                           LONG height) {
    CameraRoiValue request;
    memset(&request, 0, sizeof(request));
    FillHeader(&request.Property, PropertyRoi, kTypeSet);
    request.SubSample = subsample;
    request.X = x;
    request.Y = y;
    request.Width = width;
    request.Height = height;
    return m_propertySet->Set(IID_IQuelvixDSProxyConfig, PropertyRoi, &request, sizeof(request),
                              &request, sizeof(request));
}
