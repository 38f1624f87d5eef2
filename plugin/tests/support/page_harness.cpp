#include "page_harness.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include "IQuelvixDSProxyConfig.h"
#include "plugin_library.h"

namespace {

const wchar_t kParentClass[] = L"QuelvixPageTestParent";

void RegisterParentClass() {
    static bool registered = false;
    if (registered) return;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kParentClass;
    RegisterClassW(&windowClass);
    registered = true;
}

}  // namespace

PageHarness::PageHarness(IUnknown* pageObject) : object(pageObject) {
    IClassFactory* factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    if (factory) {
        EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPropertyPage,
                                                reinterpret_cast<void**>(&page)));
        factory->Release();
    }
    if (page) {
        EXPECT_EQ(S_OK, page->SetPageSite(&site));
    }
    RegisterParentClass();
    parent = CreateWindowExW(0, kParentClass, L"Page test", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                             0, 0, 800, 600, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(nullptr, parent);
}

PageHarness::~PageHarness() {
    if (page) {
        if (Dialog()) page->Deactivate();
        page->SetObjects(0, nullptr);
        page->SetPageSite(nullptr);
        page->Release();
    }
    if (parent) DestroyWindow(parent);
}

HRESULT PageHarness::SetObject() {
    IUnknown* objects[] = {object};
    return page->SetObjects(1, objects);
}

HRESULT PageHarness::Activate() {
    PROPPAGEINFO info = {};
    HRESULT hr = page->GetPageInfo(&info);
    if (FAILED(hr)) return hr;
    CoTaskMemFree(info.pszTitle);
    const RECT rect = {0, 0, info.size.cx, info.size.cy};
    return page->Activate(parent, &rect, FALSE);
}

HRESULT PageHarness::Deactivate() { return page->Deactivate(); }

HWND PageHarness::Dialog() const { return parent ? GetWindow(parent, GW_CHILD) : nullptr; }

std::wstring PageHarness::Text(int id) const {
    wchar_t text[256] = {};
    GetDlgItemTextW(Dialog(), id, text, 256);
    return text;
}

bool PageHarness::Visible(int id) const {
    return (GetWindowLongW(Item(id), GWL_STYLE) & WS_VISIBLE) != 0;
}

LONG PageHarness::SliderPos(int id) const {
    return static_cast<LONG>(SendMessageW(Item(id), TBM_GETPOS, 0, 0));
}
LONG PageHarness::SliderMin(int id) const {
    return static_cast<LONG>(SendMessageW(Item(id), TBM_GETRANGEMIN, 0, 0));
}
LONG PageHarness::SliderMax(int id) const {
    return static_cast<LONG>(SendMessageW(Item(id), TBM_GETRANGEMAX, 0, 0));
}
LONG PageHarness::SpinPos(int id) const {
    return static_cast<LONG>(SendMessageW(Item(id), UDM_GETPOS32, 0, 0));
}
void PageHarness::SpinRange(int id, LONG* min, LONG* max) const {
    SendMessageW(Item(id), UDM_GETRANGE32, reinterpret_cast<WPARAM>(min),
                 reinterpret_cast<LPARAM>(max));
}

void PageHarness::Click(int id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }

void PageHarness::Type(int id, const wchar_t* text) { SetWindowTextW(Item(id), text); }

void PageHarness::MoveSlider(int id, LONG position) {
    HWND slider = Item(id);
    SendMessageW(slider, TBM_SETPOS, TRUE, position);
    SendMessageW(Dialog(), WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position),
                 reinterpret_cast<LPARAM>(slider));
}

void PageHarness::MoveSpin(int id, LONG position) {
    HWND spin = Item(id);
    SendMessageW(spin, UDM_SETPOS32, 0, position);
    SendMessageW(Dialog(), WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, position),
                 reinterpret_cast<LPARAM>(spin));
}

void PageHarness::Key(int id, UINT virtualKey) {
    SendMessageW(Item(id), WM_KEYDOWN, virtualKey, 1);
    SendMessageW(Item(id), WM_KEYUP, virtualKey, 0xC0000001);
}

void PageHarness::SelectCombo(int id, int index) {
    SendMessageW(Item(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(Dialog(), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(Item(id)));
}
