// A real client: the registered page hosted by OleCreatePropertyFrame for the
// stand-in filter, driven and closed from a timer inside the frame's modal loop.
#include <windows.h>
#include <commctrl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include "IQuelvixDSProxyConfig.h"
#include "plugin_library.h"
#include "test_filter.h"

namespace {

// What the timer saw and did inside the frame.
struct FrameVisit {
    int ticks = 0;
    bool pageFound = false;
    UINT exposure = 0;
    UINT timeout = 0;
    UINT fullWidth = 0;
    bool colorEnable = false;
    LONG exposureMax = 0;
};

FrameVisit* g_visit = nullptr;
const int kMaxTicks = 40;

BOOL CALLBACK FindFrame(HWND window, LPARAM result) {
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (wcscmp(className, L"#32770") != 0) return TRUE;
    *reinterpret_cast<HWND*>(result) = window;
    return FALSE;
}

// The page is the dialog holding the exposure trackbar.
BOOL CALLBACK FindPage(HWND window, LPARAM result) {
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (GetDlgCtrlID(window) != 201 || _wcsicmp(className, TRACKBAR_CLASSW) != 0) return TRUE;
    *reinterpret_cast<HWND*>(result) = GetParent(window);
    return FALSE;
}

void UseThePage(HWND page, FrameVisit* visit) {
    visit->pageFound = true;
    visit->exposure = GetDlgItemInt(page, 202, nullptr, FALSE);
    visit->timeout = GetDlgItemInt(page, 220, nullptr, FALSE);
    visit->fullWidth = GetDlgItemInt(page, 238, nullptr, FALSE);
    visit->colorEnable = IsDlgButtonChecked(page, 212) == BST_CHECKED;
    visit->exposureMax =
        static_cast<LONG>(SendDlgItemMessageW(page, 201, TBM_GETRANGEMAX, 0, 0));

    SendDlgItemMessageW(page, 212, BM_CLICK, 0, 0);  // "Color Enable" off
    HWND slider = GetDlgItem(page, 201);
    SendMessageW(slider, TBM_SETPOS, TRUE, 700);
    SendMessageW(page, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 700),
                 reinterpret_cast<LPARAM>(slider));
    SetDlgItemTextW(page, 220, L"4000");
    SendDlgItemMessageW(page, 248, BM_CLICK, 0, 0);  // time-out "Set"
}

void CALLBACK OnTimer(HWND, UINT, UINT_PTR timer, DWORD) {
    FrameVisit* visit = g_visit;
    HWND frame = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindFrame, reinterpret_cast<LPARAM>(&frame));
    HWND page = nullptr;
    if (frame) EnumChildWindows(frame, FindPage, reinterpret_cast<LPARAM>(&page));
    if (!page && ++visit->ticks < kMaxTicks) return;
    KillTimer(nullptr, timer);
    if (page) UseThePage(page, visit);
    if (frame) PostMessageW(frame, WM_COMMAND, IDOK, 0);
}

class PropertyFrame : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, Plugin().RegisterServer()); }
    void TearDown() override { Plugin().UnregisterServer(); }
};

}  // namespace

TEST_F(PropertyFrame, ShowsTheDriversValuesAndSendsTheUsersChanges) {
    TestFilter* filter = new TestFilter;
    ASSERT_EQ(S_OK, filter->Aggregate());
    FrameVisit visit;
    g_visit = &visit;
    ASSERT_NE(0u, SetTimer(nullptr, 0, 200, OnTimer));

    IUnknown* object = filter;
    CLSID page = CLSID_QuelvixDSProxyPluginPage;
    const HRESULT hr = OleCreatePropertyFrame(nullptr, 0, 0, L"Camera", 1, &object, 1, &page,
                                              LOCALE_USER_DEFAULT, 0, nullptr);
    g_visit = nullptr;
    EXPECT_EQ(S_OK, hr);
    ASSERT_TRUE(visit.pageFound);
    EXPECT_EQ(321u, visit.exposure);
    EXPECT_EQ(1252, visit.exposureMax);
    EXPECT_EQ(2500u, visit.timeout);
    EXPECT_EQ(1600u, visit.fullWidth);
    EXPECT_TRUE(visit.colorEnable);

    // Activation read all 48 properties; then exactly the three changes went out.
    EXPECT_EQ(48u, filter->GetIds().size());
    const auto sets = filter->Sets();
    ASSERT_EQ(3u, sets.size());
    EXPECT_EQ(12u, sets[0]->id);
    EXPECT_EQ(0, sets[0]->Long(24));
    EXPECT_EQ(2u, sets[1]->id);
    EXPECT_EQ(700, sets[1]->Long(24));
    EXPECT_EQ(1u, sets[2]->id);
    EXPECT_EQ(4000, sets[2]->Long(24));
    // The frame has released the page and its bound interface.
    EXPECT_EQ(1, filter->references());
    EXPECT_EQ(0u, filter->Release());
}
