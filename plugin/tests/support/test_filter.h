// TestFilter stands in for the KS proxy filter: it aggregates the plug-in's
// configuration object exactly as the proxy does and implements IKsPropertySet
// by recording every request and answering from a table of driver values.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <map>
#include <vector>

#include "IQuelvixDSProxyConfig.h"

// One IKsPropertySet call as the filter saw it.
struct PropertyCall {
    bool get = false;
    GUID set = {};
    ULONG id = 0;
    std::vector<BYTE> instance;  // instance data as it arrived
    std::vector<BYTE> data;      // property data as it arrived
    ULONG instanceLength = 0;
    ULONG dataLength = 0;
    bool oneBuffer = false;  // instance and property data were the same memory

    LONG Long(size_t offset) const;  // LONG in the property data at `offset`
    ULONG Flags() const { return static_cast<ULONG>(Long(20)); }
};

class TestFilter : public IKsPropertySet {
public:
    enum class Answer {
        Driver,   // gets answered from `values`; sets stored and succeed
        Nothing,  // every request fails without touching the buffer
    };

    TestFilter();  // one reference, held by the creator

    // Creates the plug-in's configuration object aggregated under this filter.
    HRESULT Aggregate();
    // Whether QueryInterface offers IKsPropertySet (a filter without the property set does not).
    void OfferPropertySet(bool offer) { m_offerPropertySet = offer; }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP Set(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength, LPVOID data,
                     DWORD dataLength) override;
    STDMETHODIMP Get(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength, LPVOID data,
                     DWORD dataLength, DWORD* returned) override;
    STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

    IQuelvixDSProxyConfig* Config();  // counted reference on the filter, or null

    Answer answer = Answer::Driver;
    HRESULT setResult = S_OK;  // returned by Set in Driver mode
    std::map<ULONG, LONG> values;
    std::vector<PropertyCall> calls;
    LONG references() const { return m_refs; }
    int queryInterfaceCalls = 0;
    IUnknown* inner = nullptr;  // the aggregated object's own IUnknown

    // Calls since `from`, filtered.
    std::vector<ULONG> GetIds(size_t from = 0) const;
    std::vector<const PropertyCall*> Sets(size_t from = 0) const;

    // Values the camera's driver reports for a fresh device.
    static std::map<ULONG, LONG> DriverValues();

private:
    virtual ~TestFilter();

    LONG m_refs;
    bool m_offerPropertySet;
};

// The value of a get with no answer and the code it fails with.
constexpr HRESULT kNoAnswer = static_cast<HRESULT>(0x80070490);  // E_PROP_ID_UNSUPPORTED
