// Dialog 100 as the page shows it: every control in resource order with its
// id, window class, caption, position and style.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "page_harness.h"

namespace {

enum Kind { Label, Line, Slider, Edit, Spin, Check, Button, Combo };

struct ExpectedControl {
    int id;
    Kind kind;
    const wchar_t* caption;
    int x, y, cx, cy;
};

const ExpectedControl kControls[] = {
    {-1, Label, L"Exposure Time:", 7, 10, 50, 8},
    {201, Slider, L"", 58, 9, 85, 12},
    {202, Edit, nullptr, 149, 8, 40, 14},
    {203, Spin, nullptr, 189, 8, 11, 14},
    {207, Check, L"Auto", 7, 22, 31, 10},
    {-1, Label, L"Global Gain:", 7, 39, 52, 8},
    {204, Slider, L"", 58, 37, 85, 12},
    {205, Edit, nullptr, 149, 37, 40, 14},
    {206, Spin, nullptr, 188, 36, 11, 14},
    {208, Check, L"Auto", 7, 53, 32, 10},
    {-1, Line, L"", 7, 69, 140, 1},
    {212, Check, L"Color Enable", 7, 77, 69, 10},
    {252, Check, L"Color Correction", 87, 77, 78, 10},
    {213, Check, L"Auto White Balance", 179, 77, 88, 10},
    {-1, Label, L"Gain (Red):", 7, 96, 49, 8},
    {211, Slider, L"", 58, 96, 85, 12},
    {214, Edit, nullptr, 149, 93, 40, 14},
    {215, Spin, nullptr, 187, 93, 11, 14},
    {-1, Label, L"Gain (Green):", 7, 112, 51, 8},
    {216, Slider, L"", 58, 112, 85, 12},
    {217, Edit, nullptr, 149, 109, 40, 14},
    {218, Spin, nullptr, 187, 109, 11, 14},
    {-1, Label, L"Gain (Blue):", 7, 128, 38, 8},
    {221, Slider, L"", 58, 128, 85, 12},
    {222, Edit, nullptr, 149, 125, 40, 14},
    {223, Spin, nullptr, 187, 125, 11, 14},
    {-1, Line, L"", 7, 155, 140, 1},
    {225, Button, L"Default", 149, 148, 36, 14},
    {-1, Label, L"Brightness:", 7, 169, 47, 8},
    {226, Slider, L"", 58, 168, 85, 12},
    {227, Edit, nullptr, 149, 166, 40, 14},
    {228, Spin, nullptr, 189, 167, 11, 14},
    {-1, Label, L"Saturation:", 7, 185, 45, 8},
    {229, Slider, L"", 58, 184, 85, 12},
    {230, Edit, nullptr, 149, 182, 40, 14},
    {231, Spin, nullptr, 189, 183, 11, 14},
    {-1, Label, L"Contrast:", 7, 201, 43, 8},
    {232, Slider, L"", 58, 200, 85, 12},
    {233, Edit, nullptr, 149, 198, 40, 14},
    {234, Spin, nullptr, 189, 199, 11, 14},
    {-1, Label, L"Hue:", 9, 216, 16, 8},
    {235, Slider, L"", 58, 216, 85, 12},
    {236, Edit, nullptr, 149, 213, 40, 14},
    {237, Spin, nullptr, 189, 213, 11, 14},
    {219, Check, L"ExTrigger", 218, 8, 58, 10},
    {-1, Label, L"Timeout (Millisecond):", 218, 22, 96, 8},
    {220, Edit, nullptr, 316, 19, 35, 14},
    {248, Button, L"Set", 353, 19, 24, 14},
    {209, Check, L"Horizontal Mirror", 218, 53, 83, 10},
    {210, Check, L"Vertical Flip", 308, 53, 72, 10},
    {-1, Label, L"Full Image Size:", 220, 129, 66, 8},
    {238, Edit, nullptr, 291, 127, 27, 14},
    {243, Edit, nullptr, 320, 127, 27, 14},
    {-1, Label, L"SubSample:", 220, 153, 39, 8},
    {239, Combo, nullptr, 291, 151, 57, 60},
    {-1, Label, L"X:", 224, 176, 8, 8},
    {240, Edit, nullptr, 237, 173, 35, 14},
    {224, Spin, nullptr, 268, 173, 11, 14},
    {-1, Label, L"Y:", 285, 176, 8, 8},
    {241, Edit, nullptr, 295, 173, 35, 14},
    {249, Spin, nullptr, 328, 172, 11, 14},
    {-1, Label, L"W:", 224, 190, 10, 8},
    {242, Edit, nullptr, 237, 189, 35, 14},
    {244, Spin, nullptr, 269, 190, 11, 14},
    {-1, Label, L"H:", 285, 191, 8, 8},
    {245, Edit, nullptr, 295, 189, 35, 14},
    {250, Spin, nullptr, 327, 189, 11, 14},
    {246, Button, L"Set", 246, 212, 36, 14},
    {247, Button, L"Default", 287, 212, 36, 14},
    {253, Check, L"Half Clock", 218, 36, 83, 10},
};

const wchar_t* ClassOf(Kind kind) {
    switch (kind) {
    case Label: case Line: return L"Static";
    case Slider: return L"msctls_trackbar32";
    case Edit: return L"Edit";
    case Spin: return L"msctls_updown32";
    case Check: case Button: return L"Button";
    case Combo: return L"ComboBox";
    }
    return L"";
}

std::vector<HWND> Children(HWND dialog) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

class DialogLayout : public testing::Test {
protected:
    void SetUp() override {
        filter = new TestFilter;
        ASSERT_EQ(S_OK, filter->Aggregate());
        harness = new PageHarness(filter);
        ASSERT_EQ(S_OK, harness->SetObject());
        ASSERT_EQ(S_OK, harness->Activate());
    }
    void TearDown() override {
        delete harness;
        filter->Release();
    }
    TestFilter* filter = nullptr;
    PageHarness* harness = nullptr;
};

}  // namespace

TEST_F(DialogLayout, HasSeventyControlsInResourceOrder) {
    const std::vector<HWND> children = Children(harness->Dialog());
    ASSERT_EQ(70u, children.size());
    for (size_t i = 0; i < children.size(); ++i) {
        const ExpectedControl& expected = kControls[i];
        wchar_t className[64] = {};
        GetClassNameW(children[i], className, 64);
        EXPECT_EQ(0, _wcsicmp(ClassOf(expected.kind), className)) << "control " << i;
        EXPECT_EQ(expected.id, static_cast<int>(static_cast<short>(GetDlgCtrlID(children[i]))))
            << "control " << i;
        if (expected.caption) {
            wchar_t caption[64] = {};
            GetWindowTextW(children[i], caption, 64);
            EXPECT_STREQ(expected.caption, caption) << "control " << i;
        }
    }
}

// Up-downs attach themselves to their edit's right edge (UDS_ALIGNRIGHT) and
// narrow the edit, so those two keep only their left/top from the template.
TEST_F(DialogLayout, ControlsSitAtTheirDialogUnitPositions) {
    HWND dialog = harness->Dialog();
    const std::vector<HWND> children = Children(dialog);
    ASSERT_EQ(70u, children.size());
    for (size_t i = 0; i < children.size(); ++i) {
        const ExpectedControl& expected = kControls[i];
        if (expected.kind == Spin || expected.kind == Combo) continue;
        // The dialog manager converts position and size separately.
        RECT want = {expected.x, expected.y, expected.cx, expected.cy};
        MapDialogRect(dialog, &want);
        want.right += want.left;
        want.bottom += want.top;
        RECT have;
        GetWindowRect(children[i], &have);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&have), 2);
        EXPECT_EQ(want.left, have.left) << "control " << i;
        EXPECT_EQ(want.top, have.top) << "control " << i;
        // An etched line draws its own 2-pixel edge, whatever its template size.
        const bool buddy = i + 1 < children.size() && kControls[i + 1].kind == Spin;
        if (!buddy && expected.kind != Line) {
            EXPECT_EQ(want.right, have.right) << "control " << i;
            EXPECT_EQ(want.bottom, have.bottom) << "control " << i;
        }
    }
}

TEST_F(DialogLayout, StylesMatchTheControlKinds) {
    const std::vector<HWND> children = Children(harness->Dialog());
    ASSERT_EQ(70u, children.size());
    for (size_t i = 0; i < children.size(); ++i) {
        const LONG style = GetWindowLongW(children[i], GWL_STYLE);
        switch (kControls[i].kind) {
        case Slider:
            EXPECT_EQ(TBS_NOTICKS, style & TBS_NOTICKS) << i;
            EXPECT_EQ(0, style & TBS_VERT) << i;
            break;
        case Spin:
            EXPECT_EQ(UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS,
                      style & (UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS)) << i;
            EXPECT_EQ(0, style & UDS_SETBUDDYINT) << i;
            // Its buddy is the edit just before it.
            EXPECT_EQ(children[i - 1],
                      reinterpret_cast<HWND>(SendMessageW(children[i], UDM_GETBUDDY, 0, 0))) << i;
            break;
        case Check:
            EXPECT_EQ(BS_AUTOCHECKBOX, style & BS_TYPEMASK) << i;
            break;
        case Edit:
            EXPECT_EQ(ES_AUTOHSCROLL, style & ES_AUTOHSCROLL) << i;
            // The dialog manager draws a template's WS_BORDER on an edit as a client edge.
            EXPECT_TRUE((style & WS_BORDER) ||
                        (GetWindowLongW(children[i], GWL_EXSTYLE) & WS_EX_CLIENTEDGE)) << i;
            break;
        case Combo:
            EXPECT_EQ(CBS_DROPDOWNLIST, style & 3) << i;
            break;
        case Line:
            EXPECT_EQ(SS_ETCHEDHORZ, style & SS_TYPEMASK) << i;
            break;
        default:
            break;
        }
    }
    const LONG dialogStyle = GetWindowLongW(harness->Dialog(), GWL_STYLE);
    EXPECT_EQ(WS_CHILD, dialogStyle & (WS_CHILD | WS_POPUP));
}

// The two image-size edits are disabled in the template; the Auto boxes are
// disabled until a driver reports the automatic control.
TEST_F(DialogLayout, FullSizeEditsAreDisabled) {
    EXPECT_FALSE(harness->Enabled(238));
    EXPECT_FALSE(harness->Enabled(243));
    EXPECT_FALSE(harness->Enabled(207));
    EXPECT_FALSE(harness->Enabled(208));
}
