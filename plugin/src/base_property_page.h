// CBasePropertyPage: IPropertyPage over a dialog resource. It creates and
// destroys the dialog window and calls hooks that a concrete page overrides.
#pragma once

#include <ocidl.h>

#include "unknown.h"

class CBasePropertyPage : public IPropertyPage, public CUnknown {
public:
    CBasePropertyPage(const wchar_t* name, IUnknown* outer, int dialogId, int titleId);
    ~CBasePropertyPage() override;

    DECLARE_DELEGATING_IUNKNOWN

    STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
    STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL modal) override;
    STDMETHODIMP Deactivate() override;
    STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
    STDMETHODIMP Show(UINT command) override;
    STDMETHODIMP Move(LPCRECT rect) override;
    STDMETHODIMP IsPageDirty() override;
    STDMETHODIMP Apply() override;
    STDMETHODIMP Help(LPCOLESTR helpDir) override;
    STDMETHODIMP TranslateAccelerator(MSG* msg) override;

protected:
    virtual HRESULT OnObjectSet(IUnknown*) { return S_OK; }
    virtual HRESULT OnObjectCleared() { return S_OK; }
    virtual HRESULT OnPageActivated() { return S_OK; }
    virtual HRESULT OnPageDeactivated() { return S_OK; }
    virtual HRESULT OnApply() { return S_OK; }
    virtual INT_PTR OnPageMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // Marks the page dirty or clean and tells the page site, if any.
    void SetDirty(bool dirty);

    IPropertyPageSite* m_site;
    HWND m_pageWindow;
    HWND m_dialogWindow;
    bool m_dirty;
    const int m_titleId;
    const int m_dialogId;
    bool m_objectSet;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND CreatePageDialog(HWND parent, CBasePropertyPage* page) const;
    SIZE MeasureDialog() const;
};
