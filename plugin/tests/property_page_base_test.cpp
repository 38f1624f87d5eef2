// IPropertyPage as the base page implements it: state rules, page info,
// window management, dirty state and Apply.
#include <windows.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include "IQuelvixDSProxyConfig.h"
#include "page_harness.h"
#include "plugin_library.h"
#include "test_filter.h"

namespace {

class BasePage : public testing::Test {
protected:
    void SetUp() override {
        filter = new TestFilter;
        ASSERT_EQ(S_OK, filter->Aggregate());
    }
    void TearDown() override {
        filter->Release();
    }
    TestFilter* filter = nullptr;
};

// The page's own visibility; the test parent window itself is never shown.
bool OwnVisible(HWND window) { return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0; }

INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

}  // namespace

TEST_F(BasePage, PageInfoHasTheTitleAndTheDialogsMeasuredSize) {
    PageHarness harness(filter);
    PROPPAGEINFO info = {};
    ASSERT_EQ(S_OK, harness.page->GetPageInfo(&info));
    EXPECT_EQ(sizeof(PROPPAGEINFO), info.cb);
    ASSERT_NE(nullptr, info.pszTitle);
    EXPECT_STREQ(L"Quelvix KS Proxy Property Page", info.pszTitle);
    EXPECT_EQ(nullptr, info.pszDocString);
    EXPECT_EQ(nullptr, info.pszHelpFile);
    EXPECT_EQ(0u, info.dwHelpContext);
    CoTaskMemFree(info.pszTitle);

    // The same dialog template measured here, independently of the page.
    HWND dialog = CreateDialogParamW(Plugin().module, MAKEINTRESOURCEW(100), GetDesktopWindow(),
                                     PlainDialogProc, 0);
    ASSERT_NE(nullptr, dialog);
    RECT rect;
    GetWindowRect(dialog, &rect);
    DestroyWindow(dialog);
    EXPECT_EQ(rect.right - rect.left, info.size.cx);
    EXPECT_EQ(rect.bottom - rect.top, info.size.cy);
    // 427 x 279 dialog units are far larger than the 340 x 150 fallback.
    EXPECT_GT(info.size.cx, 340);
    EXPECT_GT(info.size.cy, 150);
    EXPECT_EQ(E_POINTER, harness.page->GetPageInfo(nullptr));
}

TEST_F(BasePage, PageSiteIsHeldWithOneReferenceAndNotReplaced) {
    PageHarness harness(filter);  // sets its site
    EXPECT_EQ(1, harness.site.references);
    TestPageSite other;
    EXPECT_EQ(E_UNEXPECTED, harness.page->SetPageSite(&other));
    EXPECT_EQ(0, other.references);
    EXPECT_EQ(S_OK, harness.page->SetPageSite(nullptr));
    EXPECT_EQ(0, harness.site.references);
    EXPECT_EQ(E_UNEXPECTED, harness.page->SetPageSite(nullptr));
    EXPECT_EQ(S_OK, harness.page->SetPageSite(&harness.site));
}

TEST_F(BasePage, FinalReleaseLetsGoOfSiteAndObject) {
    IClassFactory* factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    IPropertyPage* page = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)));
    factory->Release();
    TestPageSite site;
    ASSERT_EQ(S_OK, page->SetPageSite(&site));
    const LONG filterRefs = filter->references();
    IUnknown* object = filter;
    ASSERT_EQ(S_OK, page->SetObjects(1, &object));
    EXPECT_EQ(filterRefs + 1, filter->references());  // the bound interface
    EXPECT_EQ(0u, page->Release());
    EXPECT_EQ(0, site.references);
    EXPECT_EQ(filterRefs, filter->references());
}

TEST_F(BasePage, SetObjectsAcceptsOneObjectOrNone) {
    PageHarness harness(filter);
    IUnknown* none = nullptr;
    EXPECT_EQ(E_POINTER, harness.page->SetObjects(1, nullptr));
    EXPECT_EQ(E_POINTER, harness.page->SetObjects(1, &none));
    IUnknown* two[] = {filter, filter};
    EXPECT_EQ(E_UNEXPECTED, harness.page->SetObjects(2, two));
    EXPECT_EQ(S_OK, harness.SetObject());
    EXPECT_EQ(S_OK, harness.page->SetObjects(0, nullptr));
}

TEST_F(BasePage, ObjectWithoutTheConfigInterfaceIsReported) {
    TestFilter* bare = new TestFilter;  // nothing aggregated
    PageHarness harness(bare);
    EXPECT_EQ(E_NOINTERFACE, harness.SetObject());
    harness.page->SetObjects(0, nullptr);
    bare->Release();
}

TEST_F(BasePage, ActivateNeedsARectangleAnObjectAndNoWindowYet) {
    PageHarness harness(filter);
    const RECT rect = {0, 0, 100, 100};
    EXPECT_EQ(E_POINTER, harness.page->Activate(harness.parent, nullptr, FALSE));
    EXPECT_EQ(E_UNEXPECTED, harness.page->Activate(harness.parent, &rect, FALSE));
    ASSERT_EQ(S_OK, harness.SetObject());
    EXPECT_EQ(S_OK, harness.page->Activate(harness.parent, &rect, FALSE));
    EXPECT_EQ(E_UNEXPECTED, harness.page->Activate(harness.parent, &rect, FALSE));
    HWND dialog = harness.Dialog();
    ASSERT_NE(nullptr, dialog);
    EXPECT_TRUE(OwnVisible(dialog));
    RECT placed;
    GetWindowRect(dialog, &placed);
    EXPECT_EQ(100, placed.right - placed.left);
    EXPECT_EQ(100, placed.bottom - placed.top);
}

TEST_F(BasePage, ShowMoveAndDeactivateNeedTheWindow) {
    PageHarness harness(filter);
    const RECT rect = {10, 20, 310, 220};
    EXPECT_EQ(E_UNEXPECTED, harness.page->Show(SW_SHOW));
    EXPECT_EQ(E_UNEXPECTED, harness.page->Move(&rect));
    EXPECT_EQ(E_UNEXPECTED, harness.page->Deactivate());
    ASSERT_EQ(S_OK, harness.SetObject());
    ASSERT_EQ(S_OK, harness.Activate());

    EXPECT_EQ(E_POINTER, harness.page->Move(nullptr));
    EXPECT_EQ(S_OK, harness.page->Move(&rect));
    RECT placed;
    GetWindowRect(harness.Dialog(), &placed);
    MapWindowPoints(nullptr, harness.parent, reinterpret_cast<POINT*>(&placed), 2);
    EXPECT_EQ(10, placed.left);
    EXPECT_EQ(20, placed.top);
    EXPECT_EQ(300, placed.right - placed.left);
    EXPECT_EQ(200, placed.bottom - placed.top);

    EXPECT_EQ(S_OK, harness.page->Show(SW_HIDE));
    EXPECT_FALSE(OwnVisible(harness.Dialog()));
    EXPECT_EQ(S_OK, harness.page->Show(SW_SHOW));
    EXPECT_TRUE(OwnVisible(harness.Dialog()));
    EXPECT_EQ(E_INVALIDARG, harness.page->Show(SW_MAXIMIZE));

    HWND dialog = harness.Dialog();
    EXPECT_EQ(S_OK, harness.page->Deactivate());
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(E_UNEXPECTED, harness.page->Deactivate());
}

// TAB must keep moving among the page's controls even when a frame strips the
// control-parent style.
TEST_F(BasePage, ControlParentStyleIsKeptWhileActive) {
    PageHarness harness(filter);
    ASSERT_EQ(S_OK, harness.SetObject());
    ASSERT_EQ(S_OK, harness.Activate());
    HWND dialog = harness.Dialog();
    const LONG style = GetWindowLongW(dialog, GWL_EXSTYLE);
    SetWindowLongW(dialog, GWL_EXSTYLE, style & ~WS_EX_CONTROLPARENT);
    EXPECT_NE(0, GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
}

TEST_F(BasePage, ApplyNeedsObjectAndSiteAndClearsDirty) {
    PageHarness harness(filter);
    EXPECT_EQ(E_UNEXPECTED, harness.page->Apply());  // no object yet
    ASSERT_EQ(S_OK, harness.SetObject());
    EXPECT_EQ(S_FALSE, harness.page->IsPageDirty());
    EXPECT_EQ(S_OK, harness.page->Apply());          // not dirty: nothing to do
    EXPECT_TRUE(harness.site.statusChanges.empty());
    ASSERT_EQ(S_OK, harness.Activate());
    harness.Type(220, L"1234");
    EXPECT_EQ(S_OK, harness.page->IsPageDirty());
    harness.page->SetPageSite(nullptr);
    EXPECT_EQ(E_UNEXPECTED, harness.page->Apply());  // no site
    EXPECT_EQ(S_OK, harness.page->IsPageDirty());
    harness.page->SetPageSite(&harness.site);
    EXPECT_EQ(S_OK, harness.page->Apply());
    EXPECT_EQ(S_FALSE, harness.page->IsPageDirty());
}

TEST_F(BasePage, HelpAndAcceleratorsAreNotImplemented) {
    PageHarness harness(filter);
    MSG message = {};
    EXPECT_EQ(E_NOTIMPL, harness.page->Help(L"x"));
    EXPECT_EQ(E_NOTIMPL, harness.page->TranslateAccelerator(&message));
}

// A frame that releases the page without deactivating it must not leave a
// window behind whose dialog procedure reaches a destroyed page.
TEST_F(BasePage, ReleasingAnActivePageDestroysItsWindow) {
    IClassFactory* factory = GetFactory(CLSID_QuelvixDSProxyPluginPage);
    IPropertyPage* page = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)));
    factory->Release();
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr,
                                  nullptr, nullptr, nullptr);
    IUnknown* object = filter;
    ASSERT_EQ(S_OK, page->SetObjects(1, &object));
    const RECT rect = {0, 0, 600, 400};
    ASSERT_EQ(S_OK, page->Activate(parent, &rect, FALSE));
    HWND dialog = GetWindow(parent, GW_CHILD);
    ASSERT_NE(nullptr, dialog);
    EXPECT_EQ(0u, page->Release());
    EXPECT_FALSE(IsWindow(dialog));
    DestroyWindow(parent);
}
