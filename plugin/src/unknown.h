// The COM object bases of the plug-in: CBaseObject counts live objects for
// DllCanUnloadNow, CUnknown gives every object a non-delegating IUnknown so it can
// be aggregated under an owner (the KS proxy filter) or stand alone.
#pragma once

#include <windows.h>
#include <unknwn.h>

// The inner IUnknown of an aggregatable object. Its three slots match IUnknown's,
// so a pointer to it can be handed out as the object's own IUnknown.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CBaseObject {
public:
    // The name only labels the object for a reader of the code.
    explicit CBaseObject(const wchar_t* name);
    ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // outer: the aggregating owner, or null for a stand-alone object.
    CUnknown(const wchar_t* name, IUnknown* outer);
    virtual ~CUnknown() = default;

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    // Where the delegating IUnknown methods of every interface go.
    IUnknown* GetOwner() const { return m_owner; }
    // This object's own (non-delegating) IUnknown.
    IUnknown* InnerUnknown() {
        return reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this));
    }

protected:
    // Hands out `itf` with one reference added through it.
    static HRESULT GetInterface(IUnknown* itf, void** out);

    IUnknown* const m_owner;
    volatile LONG m_refs;
};

// The IUnknown methods of an interface implemented by a CUnknown: all forward to
// the owner, as aggregation requires.
#define DECLARE_DELEGATING_IUNKNOWN                                                   \
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {                    \
        return GetOwner()->QueryInterface(iid, out);                                  \
    }                                                                                 \
    STDMETHODIMP_(ULONG) AddRef() override { return GetOwner()->AddRef(); }           \
    STDMETHODIMP_(ULONG) Release() override { return GetOwner()->Release(); }
