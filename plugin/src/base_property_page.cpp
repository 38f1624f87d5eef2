#include "base_property_page.h"

#include <commctrl.h>
#include <string.h>

#include "module.h"

namespace {

// The frame is told this size when the dialog cannot be measured.
const LONG kFallbackWidth = 340;
const LONG kFallbackHeight = 150;
const int kTitleChars = 256;

}  // namespace

CBasePropertyPage::CBasePropertyPage(const wchar_t* name, IUnknown* outer, int dialogId,
                                     int titleId)
    : CUnknown(name, outer),
      m_site(nullptr),
      m_pageWindow(nullptr),
      m_dialogWindow(nullptr),
      m_dirty(false),
      m_titleId(titleId),
      m_dialogId(dialogId),
      m_objectSet(false) {}

// A frame that drops the page without deactivating it would leave a window
// whose dialog procedure points at freed memory; detach and destroy it instead.
CBasePropertyPage::~CBasePropertyPage() {
    if (m_pageWindow) {
        SetWindowLongPtrW(m_pageWindow, DWLP_USER, 0);
        DestroyWindow(m_pageWindow);
    }
}

STDMETHODIMP CBasePropertyPage::NonDelegatingQueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IPropertyPage)) {
        return GetInterface(static_cast<IPropertyPage*>(this), out);
    }
    return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP_(ULONG) CBasePropertyPage::NonDelegatingRelease() {
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) {
        // Held at 1 so that the site and object releases below cannot re-enter.
        m_refs = 1;
        SetPageSite(nullptr);
        SetObjects(0, nullptr);
        delete this;
        return 0;
    }
    return refs > 1 ? static_cast<ULONG>(refs) : 1;
}

STDMETHODIMP CBasePropertyPage::SetPageSite(IPropertyPageSite* site) {
    if (site) {
        if (m_site) return E_UNEXPECTED;
        m_site = site;
        m_site->AddRef();
    } else {
        if (!m_site) return E_UNEXPECTED;
        m_site->Release();
        m_site = nullptr;
    }
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::SetObjects(ULONG count, IUnknown** objects) {
    if (count == 1) {
        if (!objects || !objects[0]) return E_POINTER;
        m_objectSet = true;
        return OnObjectSet(objects[0]);
    }
    if (count == 0) {
        m_objectSet = false;
        return OnObjectCleared();
    }
    return E_UNEXPECTED;
}

HWND CBasePropertyPage::CreatePageDialog(HWND parent, CBasePropertyPage* page) const {
    // The dialog uses trackbar and up-down controls; make sure their window
    // classes are registered in this process before the dialog is built.
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    return CreateDialogParamW(module::Instance(), MAKEINTRESOURCEW(m_dialogId), parent,
                              DialogProc, reinterpret_cast<LPARAM>(page));
}

STDMETHODIMP CBasePropertyPage::Activate(HWND parent, LPCRECT rect, BOOL) {
    if (!rect) return E_POINTER;
    if (!m_objectSet || m_pageWindow) return E_UNEXPECTED;
    m_pageWindow = CreatePageDialog(parent, this);
    if (!m_pageWindow) return E_OUTOFMEMORY;
    OnPageActivated();
    Move(rect);
    return Show(SW_SHOWNORMAL);
}

STDMETHODIMP CBasePropertyPage::Deactivate() {
    if (!m_pageWindow) return E_UNEXPECTED;
    // The page window is out of the field while the style changes, so that the
    // WM_STYLECHANGING handling does not put WS_EX_CONTROLPARENT straight back.
    HWND window = m_pageWindow;
    m_pageWindow = nullptr;
    const LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
    SetWindowLongW(window, GWL_EXSTYLE, exStyle & ~WS_EX_CONTROLPARENT);
    m_pageWindow = window;

    OnPageDeactivated();
    DestroyWindow(m_pageWindow);
    m_pageWindow = nullptr;
    return S_OK;
}

// The page's size is that of the dialog resource, measured by creating it
// hidden (no page attached, so no hook runs) and reading its window rectangle.
SIZE CBasePropertyPage::MeasureDialog() const {
    SIZE size = {kFallbackWidth, kFallbackHeight};
    HWND window = CreatePageDialog(GetDesktopWindow(), nullptr);
    if (window) {
        RECT rect;
        GetWindowRect(window, &rect);
        size.cx = rect.right - rect.left;
        size.cy = rect.bottom - rect.top;
        DestroyWindow(window);
    }
    return size;
}

STDMETHODIMP CBasePropertyPage::GetPageInfo(PROPPAGEINFO* info) {
    if (!info) return E_POINTER;
    wchar_t title[kTitleChars];
    if (LoadStringW(module::Instance(), m_titleId, title, kTitleChars) <= 0) title[0] = L'\0';
    const size_t bytes = (wcslen(title) + 1) * sizeof(wchar_t);
    LPOLESTR copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (!copy) return E_OUTOFMEMORY;
    memcpy(copy, title, bytes);

    info->cb = sizeof(PROPPAGEINFO);
    info->pszTitle = copy;
    info->size = MeasureDialog();
    info->pszDocString = nullptr;
    info->pszHelpFile = nullptr;
    info->dwHelpContext = 0;
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::Show(UINT command) {
    if (!m_pageWindow) return E_UNEXPECTED;
    if (command != SW_HIDE && command != SW_SHOWNORMAL && command != SW_SHOW) return E_INVALIDARG;
    ShowWindow(m_pageWindow, command);
    InvalidateRect(m_pageWindow, nullptr, TRUE);
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::Move(LPCRECT rect) {
    if (!rect) return E_POINTER;
    if (!m_pageWindow) return E_UNEXPECTED;
    MoveWindow(m_pageWindow, rect->left, rect->top, rect->right - rect->left,
               rect->bottom - rect->top, TRUE);
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::IsPageDirty() { return m_dirty ? S_OK : S_FALSE; }

STDMETHODIMP CBasePropertyPage::Apply() {
    if (!m_objectSet || !m_site) return E_UNEXPECTED;
    if (!m_dirty) return S_OK;
    const HRESULT hr = OnApply();
    if (SUCCEEDED(hr)) m_dirty = false;
    return hr;
}

STDMETHODIMP CBasePropertyPage::Help(LPCOLESTR) { return E_NOTIMPL; }

STDMETHODIMP CBasePropertyPage::TranslateAccelerator(MSG*) { return E_NOTIMPL; }

void CBasePropertyPage::SetDirty(bool dirty) {
    m_dirty = dirty;
    if (m_site) m_site->OnStatusChange(dirty ? PROPPAGESTATUS_DIRTY : PROPPAGESTATUS_CLEAN);
}

INT_PTR CBasePropertyPage::OnPageMessage(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) {
    if (!m_pageWindow) return 0;
    if (message == WM_STYLECHANGING && wParam == static_cast<WPARAM>(GWL_EXSTYLE)) {
        // Keeps TAB moving among the page's controls even when the property
        // frame takes the style away.
        reinterpret_cast<STYLESTRUCT*>(lParam)->styleNew |= WS_EX_CONTROLPARENT;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The page arrives with WM_INITDIALOG and is kept in DWLP_USER; before that
// (and in the measuring dialog, which has no page) there is no `this` to trust.
INT_PTR CALLBACK CBasePropertyPage::DialogProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        CBasePropertyPage* page = reinterpret_cast<CBasePropertyPage*>(lParam);
        if (!page) return TRUE;
        page->m_dialogWindow = window;
    }
    CBasePropertyPage* page =
        reinterpret_cast<CBasePropertyPage*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!page) return TRUE;
    return page->OnPageMessage(window, message, wParam, lParam);
}
