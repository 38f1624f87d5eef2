// The part of the KS proxy's filter object that both test filters share: it
// is the outer object that aggregates the plug-in's configuration object,
// keeping the inner object's own IUnknown, and it answers QueryInterface for
// IUnknown, IKsPropertySet and, through the inner object, the plug-in's
// interface. What IKsPropertySet does is each filter's own.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "IQuelvixDSProxyConfig.h"

class AggregatingFilter : public IKsPropertySet {
public:
    // Creates the plug-in's configuration object aggregated under this filter.
    HRESULT Aggregate();

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    IQuelvixDSProxyConfig* Config();  // counted reference on the filter, or null
    LONG references() const { return m_refs; }

    IUnknown* inner = nullptr;  // the aggregated object's own IUnknown

protected:
    AggregatingFilter() = default;  // one reference, held by the creator
    virtual ~AggregatingFilter();

    // Whether QueryInterface offers IKsPropertySet (a filter without the
    // property set does not).
    bool m_offerPropertySet = true;

private:
    LONG m_refs = 1;
};
