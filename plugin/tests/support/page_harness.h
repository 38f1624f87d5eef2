// PageHarness: creates the property page through the class factory, gives it
// a page site and a filter, and activates it into a real parent window, the
// way a property frame does. Helpers drive its controls with real messages.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <string>

#include "test_page_site.h"

class PageHarness {
public:
    // object (the filter the page is given) may be null: no object.
    explicit PageHarness(IUnknown* object);
    ~PageHarness();
    PageHarness(const PageHarness&) = delete;
    PageHarness& operator=(const PageHarness&) = delete;

    HRESULT SetObject();  // SetObjects(1, filter)
    HRESULT Activate();   // into the parent window, at the page's size
    HRESULT Deactivate();

    IPropertyPage* page = nullptr;
    TestPageSite site;
    IUnknown* object;
    HWND parent = nullptr;

    HWND Dialog() const;  // the page window (the parent's only child)
    HWND Item(int id) const { return GetDlgItem(Dialog(), id); }

    // Control state.
    UINT EditNumber(int id) const { return GetDlgItemInt(Dialog(), id, nullptr, FALSE); }
    std::wstring Text(int id) const;
    bool Checked(int id) const { return IsDlgButtonChecked(Dialog(), id) == BST_CHECKED; }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool Visible(int id) const;  // the control's own WS_VISIBLE style
    LONG SliderPos(int id) const;
    LONG SliderMin(int id) const;
    LONG SliderMax(int id) const;
    LONG SpinPos(int id) const;
    void SpinRange(int id, LONG* min, LONG* max) const;

    // User actions.
    void Click(int id);                      // BM_CLICK
    void Type(int id, const wchar_t* text);  // replaces the edit's text (EN_CHANGE)
    void MoveSlider(int id, LONG position);  // TBM_SETPOS + WM_HSCROLL to the page
    void MoveSpin(int id, LONG position);    // UDM_SETPOS32 + WM_VSCROLL to the page
    void Key(int id, UINT virtualKey);       // WM_KEYDOWN/WM_KEYUP to the control
    void SelectCombo(int id, int index);     // CB_SETCURSEL + CBN_SELCHANGE
};
