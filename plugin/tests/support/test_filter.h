// TestFilter stands in for the KS proxy filter: it aggregates the plug-in's
// configuration object exactly as the proxy does and implements IKsPropertySet
// by recording every request and answering from a table of driver values.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <map>
#include <vector>

#include "IQuelvixDSProxyConfig.h"
#include "aggregating_filter.h"

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

class TestFilter : public AggregatingFilter {
public:
    enum class Answer {
        Driver,   // gets answered from `values`; sets stored and succeed
        Nothing,  // every request fails without touching the buffer
    };

    TestFilter();  // one reference, held by the creator

    void OfferPropertySet(bool offer) { m_offerPropertySet = offer; }

    // Counts the calls, then answers as the proxy's filter does.
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP Set(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength, LPVOID data,
                     DWORD dataLength) override;
    STDMETHODIMP Get(REFGUID set, DWORD id, LPVOID instance, DWORD instanceLength, LPVOID data,
                     DWORD dataLength, DWORD* returned) override;
    STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

    Answer answer = Answer::Driver;
    HRESULT setResult = S_OK;  // returned by Set in Driver mode
    std::map<ULONG, LONG> values;
    std::vector<PropertyCall> calls;
    int queryInterfaceCalls = 0;

    // Calls since `from`, filtered.
    std::vector<ULONG> GetIds(size_t from = 0) const;
    std::vector<const PropertyCall*> Sets(size_t from = 0) const;

    // Values the camera's driver reports for a fresh device.
    static std::map<ULONG, LONG> DriverValues();
};

// The value of a get with no answer and the code it fails with.
constexpr HRESULT kNoAnswer = static_cast<HRESULT>(0x80070490);  // E_PROP_ID_UNSUPPORTED
