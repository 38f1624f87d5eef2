// TestPageSite: the page site a property frame would give the page; records
// each status change the page reports.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <vector>

class TestPageSite : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyPageSite)) {
            *out = static_cast<IPropertyPageSite*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    // Lives on the test's stack; the count only shows the page's balance.
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
    STDMETHODIMP OnStatusChange(DWORD flags) override {
        statusChanges.push_back(flags);
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* locale) override {
        if (!locale) return E_POINTER;
        *locale = LOCALE_USER_DEFAULT;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return E_NOTIMPL; }

    LONG references = 0;
    std::vector<DWORD> statusChanges;
};
