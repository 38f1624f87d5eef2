// CQuelvixDSProxyConfig: the extension object the KS proxy aggregates onto the
// capture filter. A pass-through: every call is one property request on the
// owning filter, and the request's result comes back unchanged.
#pragma once

#include <strmif.h>
#include <vfwmsgs.h>

#include "IQuelvixDSProxyConfig.h"
#include "unknown.h"

class CQuelvixDSProxyConfig : public CUnknown, public IQuelvixDSProxyConfig {
public:
    // ServerClassTable creation function. The object exists only aggregated.
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* result);

    DECLARE_DELEGATING_IUNKNOWN

    STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

    STDMETHODIMP GetValue(ULONG id, LONG* value) override;
    STDMETHODIMP SetValue(ULONG id, LONG value) override;
    STDMETHODIMP SetRoi(LONG subsample, LONG x, LONG y, LONG width, LONG height) override;

private:
    CQuelvixDSProxyConfig(IUnknown* outer, IKsPropertySet* propertySet);

    // The owner's IKsPropertySet, held without a reference: a counted reference
    // from an aggregated object to its owner would keep the owner alive forever.
    // The pointer stays valid because this object lives inside its owner.
    IKsPropertySet* const m_propertySet;
};
