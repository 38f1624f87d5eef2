// CClassFactory: the factory DllGetClassObject hands out for one ServerClassTable entry.
#pragma once

#include "class_table.h"

class CClassFactory : public IClassFactory, public CBaseObject {
public:
    explicit CClassFactory(const ServerClass* entry);

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    virtual ~CClassFactory() = default;  // only Release destroys a factory

    const ServerClass* const m_entry;
    volatile LONG m_refs;
};
