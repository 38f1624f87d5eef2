// The camera page driven with real messages through a test page site and a
// stand-in filter; checked by the requests it sends and the controls' state.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <vector>

#include "page_harness.h"

namespace {

class Page : public testing::Test {
protected:
    void SetUp() override {
        filter = new TestFilter;
        ASSERT_EQ(S_OK, filter->Aggregate());
    }
    void TearDown() override {
        delete harness;
        filter->Release();
    }
    // Creates, binds and activates the page; `calls` then holds only activation.
    void Open() {
        harness = new PageHarness(filter);
        ASSERT_EQ(S_OK, harness->SetObject());
        ASSERT_EQ(S_OK, harness->Activate());
        mark = filter->calls.size();
    }
    // Requests since Open (or since the last Mark).
    std::vector<const PropertyCall*> Sets() const { return filter->Sets(mark); }
    std::vector<ULONG> Gets() const { return filter->GetIds(mark); }
    void Mark() { mark = filter->calls.size(); }
    void ExpectOneSet(ULONG id, LONG value) {
        const auto sets = Sets();
        ASSERT_EQ(1u, sets.size());
        EXPECT_EQ(id, sets[0]->id);
        EXPECT_EQ(value, sets[0]->Long(24));
    }
    void ExpectRoi(LONG subsample, LONG x, LONG y, LONG width, LONG height) {
        const auto sets = Sets();
        ASSERT_EQ(1u, sets.size());
        EXPECT_EQ(44u, sets[0]->id);
        EXPECT_EQ(48u, sets[0]->dataLength);
        EXPECT_EQ(subsample, sets[0]->Long(24));
        EXPECT_EQ(x, sets[0]->Long(28));
        EXPECT_EQ(y, sets[0]->Long(32));
        EXPECT_EQ(width, sets[0]->Long(36));
        EXPECT_EQ(height, sets[0]->Long(40));
    }
    void ExpectSlider(int slider, int edit, int spin, LONG min, LONG max, LONG value) {
        EXPECT_EQ(min, harness->SliderMin(slider)) << slider;
        EXPECT_EQ(max, harness->SliderMax(slider)) << slider;
        EXPECT_EQ(value, harness->SliderPos(slider)) << slider;
        EXPECT_EQ(static_cast<UINT>(value), harness->EditNumber(edit)) << edit;
        LONG spinMin = -1, spinMax = -1;
        harness->SpinRange(spin, &spinMin, &spinMax);
        EXPECT_EQ(min, spinMin) << spin;
        EXPECT_EQ(max, spinMax) << spin;
        EXPECT_EQ(value, harness->SpinPos(spin)) << spin;
    }
    void ExpectRegion(UINT x, UINT y, UINT width, UINT height) {
        EXPECT_EQ(x, harness->EditNumber(240));
        EXPECT_EQ(y, harness->EditNumber(241));
        EXPECT_EQ(width, harness->EditNumber(242));
        EXPECT_EQ(height, harness->EditNumber(245));
    }

    TestFilter* filter = nullptr;
    PageHarness* harness = nullptr;
    size_t mark = 0;
};

const int kColourGainControls[] = {211, 214, 215, 216, 217, 218, 221, 222, 223};
const int kRegionControls[] = {240, 241, 242, 245, 224, 249, 244, 250};

}  // namespace

// ---------------------------------------------------------------------------
// Activation

TEST_F(Page, ActivationReadsEveryPropertyInOrderAndWritesNothing) {
    Open();
    const std::vector<ULONG> expected = {3,  4,  2,  7,  8,  6,  50, 51, 52, 0,  1,  10,
                                         11, 12, 13, 48, 49, 17, 18, 14, 15, 16, 21, 22,
                                         20, 29, 30, 28, 25, 26, 24, 33, 34, 32, 36, 37,
                                         38, 39, 40, 41, 42, 43, 45, 46, 53, 54, 55, 56};
    EXPECT_EQ(expected, filter->GetIds());
    EXPECT_TRUE(filter->Sets().empty());
    EXPECT_TRUE(harness->site.statusChanges.empty());
    EXPECT_EQ(S_FALSE, harness->page->IsPageDirty());
}

TEST_F(Page, WithNoAnswerTheControlsShowThePresets) {
    filter->answer = TestFilter::Answer::Nothing;
    Open();
    ExpectSlider(201, 202, 203, 0, 1000, 200);
    ExpectSlider(204, 205, 206, 0, 1000, 200);
    ExpectSlider(211, 214, 215, 1, 300, 128);
    ExpectSlider(216, 217, 218, 1, 300, 128);
    ExpectSlider(221, 222, 223, 1, 300, 128);
    ExpectSlider(226, 227, 228, 0, 510, 255);
    ExpectSlider(229, 230, 231, 0, 20, 10);
    ExpectSlider(232, 233, 234, 0, 20, 10);
    ExpectSlider(235, 236, 237, 0, 359, 0);
    EXPECT_EQ(3000u, harness->EditNumber(220));
    EXPECT_TRUE(harness->Checked(212));
    EXPECT_TRUE(harness->Checked(252));
    EXPECT_TRUE(harness->Checked(210));  // FlipV preset 1000
    EXPECT_FALSE(harness->Checked(213));
    EXPECT_FALSE(harness->Checked(219));
    EXPECT_FALSE(harness->Visible(253));
    EXPECT_FALSE(harness->Visible(209));
    EXPECT_FALSE(harness->Visible(210));
    EXPECT_FALSE(harness->Enabled(207));
    EXPECT_FALSE(harness->Enabled(208));
    EXPECT_FALSE(harness->Enabled(219));
    EXPECT_FALSE(harness->Enabled(239));
    ExpectRegion(0, 0, 0, 0);
    EXPECT_EQ(0u, harness->EditNumber(238));
    EXPECT_EQ(0u, harness->EditNumber(243));
    for (int id : kColourGainControls) EXPECT_TRUE(harness->Enabled(id)) << id;
}

TEST_F(Page, ShowsTheDriversValues) {
    Open();
    ExpectSlider(201, 202, 203, 2, 1252, 321);
    ExpectSlider(204, 205, 206, 0, 1023, 456);
    ExpectSlider(211, 214, 215, 1, 255, 140);
    ExpectSlider(216, 217, 218, 1, 255, 150);
    ExpectSlider(221, 222, 223, 1, 255, 160);
    ExpectSlider(226, 227, 228, 0, 510, 300);
    ExpectSlider(229, 230, 231, 0, 20, 12);
    ExpectSlider(232, 233, 234, 0, 20, 8);
    ExpectSlider(235, 236, 237, 0, 359, 45);
    EXPECT_EQ(2500u, harness->EditNumber(220));
    EXPECT_FALSE(harness->Checked(210));  // the driver's FlipV 0
    EXPECT_TRUE(harness->Enabled(219));   // ExTriggerSupported 1
    EXPECT_EQ(1600u, harness->EditNumber(238));
    EXPECT_EQ(1200u, harness->EditNumber(243));
    ExpectRegion(0, 0, 1600, 1200);
}

TEST_F(Page, SliderRangesStopAt5000) {
    filter->values[4] = 6000;
    filter->values[8] = 70000;
    Open();
    EXPECT_EQ(5000, harness->SliderMax(201));
    EXPECT_EQ(5000, harness->SliderMax(204));
    LONG min = 0, max = 0;
    harness->SpinRange(203, &min, &max);
    EXPECT_EQ(5000, max);
}

TEST_F(Page, OptionalSwitchesAppearWhenSupported) {
    filter->values[50] = 1;
    filter->values[51] = 1;
    filter->values[52] = 7;
    filter->values[10] = 1;
    filter->values[49] = 1;
    Open();
    EXPECT_TRUE(harness->Visible(253));
    EXPECT_TRUE(harness->Visible(209));
    EXPECT_TRUE(harness->Visible(210));
    EXPECT_TRUE(harness->Checked(209));
    EXPECT_TRUE(harness->Checked(253));
}

TEST_F(Page, TriggerIsEnabledOnlyForSupportExactlyOne) {
    filter->values[46] = 2;
    filter->values[0] = 1;
    Open();
    EXPECT_FALSE(harness->Enabled(219));
    EXPECT_TRUE(harness->Checked(219));
}

TEST_F(Page, SubSampleMaxZeroShowsTheWholeImageWhateverTheDriversRegion) {
    filter->values[40] = 10;
    filter->values[41] = 20;
    filter->values[42] = 800;
    filter->values[43] = 600;
    Open();
    EXPECT_FALSE(harness->Enabled(239));
    ExpectRegion(0, 0, 1600, 1200);
    for (int id : kRegionControls) EXPECT_TRUE(harness->Enabled(id)) << id;
}

TEST_F(Page, SubSampleMaxFiveGivesFourEntriesAndTheDriversRegion) {
    filter->values[36] = 5;
    filter->values[40] = 10;
    filter->values[41] = 20;
    filter->values[42] = 800;
    filter->values[43] = 600;
    Open();
    HWND combo = harness->Item(239);
    EXPECT_TRUE(harness->Enabled(239));
    ASSERT_EQ(4, SendMessageW(combo, CB_GETCOUNT, 0, 0));
    const wchar_t* names[] = {L"Keep origin", L"Skip 2X", L"Skip 4X", L"Skip 8X"};
    for (int i = 0; i < 4; ++i) {
        wchar_t text[32] = {};
        SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        EXPECT_STREQ(names[i], text);
    }
    EXPECT_EQ(0, SendMessageW(combo, CB_GETCURSEL, 0, 0));
    ExpectRegion(10, 20, 800, 600);
    LONG min = -1, max = -1;
    harness->SpinRange(244, &min, &max);
    EXPECT_EQ(32, min);
    EXPECT_EQ(1600, max);
    harness->SpinRange(250, &min, &max);
    EXPECT_EQ(8, min);
    EXPECT_EQ(1200, max);
    EXPECT_EQ(600, harness->SpinPos(250));
}

TEST_F(Page, ActiveSubsamplingShowsTheWholeImageAndLocksTheRegion) {
    filter->values[36] = 1;
    filter->values[37] = 1;
    filter->values[42] = 800;
    Open();
    EXPECT_EQ(2, SendMessageW(harness->Item(239), CB_GETCOUNT, 0, 0));
    EXPECT_EQ(1, SendMessageW(harness->Item(239), CB_GETCURSEL, 0, 0));
    ExpectRegion(0, 0, 1600, 1200);
    for (int id : kRegionControls) EXPECT_FALSE(harness->Enabled(id)) << id;
}

TEST_F(Page, OpenPinLocksEveryRegionControl) {
    filter->values[36] = 3;
    filter->values[45] = 1;
    Open();
    for (int id : {239, 240, 241, 242, 245, 224, 249, 244, 250, 247, 246}) {
        EXPECT_FALSE(harness->Enabled(id)) << id;
    }
}

TEST_F(Page, AutomaticWhiteBalanceLocksTheColourGains) {
    filter->values[13] = 1;
    Open();
    EXPECT_TRUE(harness->Checked(213));
    for (int id : kColourGainControls) EXPECT_FALSE(harness->Enabled(id)) << id;
}

TEST_F(Page, AutomaticExposureAndGainLockTheirSliderAndEdit) {
    filter->values[53] = 1;
    filter->values[54] = 1;
    filter->values[55] = 1;
    filter->values[56] = 1;
    Open();
    EXPECT_TRUE(harness->Enabled(207));
    EXPECT_TRUE(harness->Enabled(208));
    EXPECT_TRUE(harness->Checked(207));
    EXPECT_TRUE(harness->Checked(208));
    for (int id : {201, 202, 204, 205}) EXPECT_FALSE(harness->Enabled(id)) << id;
    EXPECT_TRUE(harness->Enabled(203));
    EXPECT_TRUE(harness->Enabled(206));
}

// ---------------------------------------------------------------------------
// Sliders and up-downs

TEST_F(Page, MovingASliderSendsItsPositionOnce) {
    Open();
    harness->MoveSlider(201, 700);
    ExpectOneSet(2, 700);
    EXPECT_EQ(700u, harness->EditNumber(202));
    EXPECT_EQ(700, harness->SpinPos(203));
    // Repeated notifications for the same position send nothing more.
    Mark();
    SendMessageW(harness->Dialog(), WM_HSCROLL, TB_ENDTRACK,
                 reinterpret_cast<LPARAM>(harness->Item(201)));
    EXPECT_TRUE(Sets().empty());
}

TEST_F(Page, SliderMovedBackToItsEditsValueSendsNothing) {
    Open();
    harness->MoveSlider(226, 300);  // brightness is already 300
    EXPECT_TRUE(Sets().empty());
}

TEST_F(Page, EverySliderDrivesItsOwnProperty) {
    Open();
    const struct {
        int slider, edit, spin;
        ULONG property;
        LONG value;
    } groups[] = {{201, 202, 203, 2, 5},     {204, 205, 206, 6, 7},   {211, 214, 215, 14, 9},
                  {216, 217, 218, 15, 11},  {221, 222, 223, 16, 13}, {226, 227, 228, 20, 15},
                  {229, 230, 231, 28, 17},  {232, 233, 234, 24, 19}, {235, 236, 237, 32, 21}};
    for (const auto& group : groups) {
        Mark();
        harness->MoveSlider(group.slider, group.value);
        ExpectOneSet(group.property, group.value);
        EXPECT_EQ(static_cast<UINT>(group.value), harness->EditNumber(group.edit));
        EXPECT_EQ(group.value, harness->SpinPos(group.spin));
    }
}

TEST_F(Page, KeyboardOnASliderSendsTheNewPosition) {
    Open();
    harness->Key(201, VK_RIGHT);
    ExpectOneSet(2, 322);
    EXPECT_EQ(322u, harness->EditNumber(202));
}

TEST_F(Page, UpDownSendsItsPositionAndMovesTheSlider) {
    Open();
    harness->MoveSpin(206, 457);
    ExpectOneSet(6, 457);
    EXPECT_EQ(457u, harness->EditNumber(205));
    EXPECT_EQ(457, harness->SliderPos(204));
}

TEST_F(Page, ArrowKeyInTheBuddyEditClicksTheUpDown) {
    Open();
    harness->Key(230, VK_UP);  // saturation 12 -> 13
    ExpectOneSet(28, 13);
    EXPECT_EQ(13, harness->SliderPos(229));
}

TEST_F(Page, UpDownAtItsRangeEndSendsNothing) {
    filter->values[28] = 20;  // saturation at its maximum
    Open();
    harness->Key(230, VK_UP);
    EXPECT_TRUE(Sets().empty());
    EXPECT_EQ(20u, harness->EditNumber(230));
}

TEST_F(Page, ScrollFromAnotherWindowIsIgnored) {
    Open();
    SendMessageW(harness->Dialog(), WM_HSCROLL, TB_THUMBPOSITION,
                 reinterpret_cast<LPARAM>(harness->Item(202)));
    SendMessageW(harness->Dialog(), WM_HSCROLL, TB_THUMBPOSITION, 0);
    SendMessageW(harness->Dialog(), WM_VSCROLL, SB_THUMBPOSITION,
                 reinterpret_cast<LPARAM>(harness->Item(201)));
    EXPECT_TRUE(Sets().empty());
    EXPECT_TRUE(Gets().empty());
}

// ---------------------------------------------------------------------------
// Check boxes and buttons

TEST_F(Page, SwitchBoxesWriteOneAndZero) {
    filter->values[50] = filter->values[51] = filter->values[52] = 1;
    filter->values[46] = 1;
    Open();
    const struct {
        int box;
        ULONG property;
    } boxes[] = {{209, 10}, {210, 11}, {212, 12}, {219, 0}, {252, 48}, {253, 49}};
    for (const auto& box : boxes) {
        const bool wasChecked = harness->Checked(box.box);
        Mark();
        harness->Click(box.box);
        ExpectOneSet(box.property, wasChecked ? 0 : 1);
        Mark();
        harness->Click(box.box);
        ExpectOneSet(box.property, wasChecked ? 1 : 0);
    }
}

TEST_F(Page, AutoExposureWritesAndLocksTheManualControls) {
    filter->values[54] = 1;
    filter->values[53] = 1;
    Open();
    harness->Click(207);
    ExpectOneSet(56, 1);
    EXPECT_FALSE(harness->Enabled(201));
    EXPECT_FALSE(harness->Enabled(202));
    EXPECT_TRUE(harness->Enabled(203));
    Mark();
    harness->Click(207);
    ExpectOneSet(56, 0);
    EXPECT_TRUE(harness->Enabled(201));
    Mark();
    harness->Click(208);
    ExpectOneSet(55, 1);
    EXPECT_FALSE(harness->Enabled(204));
    EXPECT_FALSE(harness->Enabled(205));
}

TEST_F(Page, UncheckingAutoWhiteBalanceWritesZeroThenReadsTheGainsBack) {
    filter->values[13] = 1;
    Open();
    // The driver's automatic balance has moved the gains meanwhile.
    filter->values[14] = 90;
    filter->values[15] = 100;
    filter->values[16] = 110;
    harness->Click(213);
    ASSERT_EQ(4u, filter->calls.size() - mark);
    const PropertyCall& first = filter->calls[mark];
    EXPECT_FALSE(first.get);
    EXPECT_EQ(13u, first.id);
    EXPECT_EQ(0, first.Long(24));
    EXPECT_EQ((std::vector<ULONG>{14, 15, 16}), Gets());
    ExpectSlider(211, 214, 215, 1, 255, 90);
    ExpectSlider(216, 217, 218, 1, 255, 100);
    ExpectSlider(221, 222, 223, 1, 255, 110);
    for (int id : kColourGainControls) EXPECT_TRUE(harness->Enabled(id)) << id;

    Mark();
    harness->Click(213);
    ExpectOneSet(13, 1);
    EXPECT_TRUE(Gets().empty());
    for (int id : kColourGainControls) EXPECT_FALSE(harness->Enabled(id)) << id;
}

TEST_F(Page, PictureDefaultReadsTheDefaultsThenWritesThemInOrder) {
    filter->values[23] = 260;
    filter->values[27] = 11;
    filter->values[31] = 9;
    filter->values[35] = 30;
    Open();
    harness->Click(225);
    EXPECT_EQ((std::vector<ULONG>{23, 27, 31, 35}), Gets());
    const auto sets = Sets();
    ASSERT_EQ(4u, sets.size());
    const ULONG ids[] = {20, 24, 28, 32};
    const LONG values[] = {260, 11, 9, 30};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ids[i], sets[i]->id);
        EXPECT_EQ(values[i], sets[i]->Long(24));
    }
    ExpectSlider(226, 227, 228, 0, 510, 260);
    ExpectSlider(233 - 1, 233, 234, 0, 20, 11);
    ExpectSlider(229, 230, 231, 0, 20, 9);
    ExpectSlider(235, 236, 237, 0, 359, 30);
}

// ---------------------------------------------------------------------------
// Time-out, dirty state and Apply

TEST_F(Page, TimeoutSetAcceptsOnly501To9999) {
    Open();
    const struct {
        const wchar_t* text;
        bool sent;
    } cases[] = {{L"500", false}, {L"501", true}, {L"9999", true}, {L"10000", false},
                 {L"abc", false}, {L"0", false}};
    for (const auto& c : cases) {
        harness->Type(220, c.text);
        Mark();
        harness->Click(248);
        if (c.sent) {
            ExpectOneSet(1, static_cast<LONG>(harness->EditNumber(220)));
        } else {
            EXPECT_TRUE(Sets().empty()) << "text " << (c.text[0] == L'a' ? "abc" : "number");
        }
    }
}

TEST_F(Page, TypingATimeoutMarksDirtyAndApplySendsNothing) {
    Open();
    harness->Type(220, L"4000");
    EXPECT_EQ(S_OK, harness->page->IsPageDirty());
    ASSERT_FALSE(harness->site.statusChanges.empty());
    EXPECT_EQ(static_cast<DWORD>(PROPPAGESTATUS_DIRTY), harness->site.statusChanges.back());
    EXPECT_TRUE(Sets().empty());  // typing alone is not sent

    Mark();
    EXPECT_EQ(S_OK, harness->page->Apply());
    EXPECT_EQ(mark, filter->calls.size());  // Apply sends nothing at all
    EXPECT_EQ(S_FALSE, harness->page->IsPageDirty());
    EXPECT_EQ(static_cast<DWORD>(PROPPAGESTATUS_CLEAN), harness->site.statusChanges.back());
}

// ---------------------------------------------------------------------------
// Region

TEST_F(Page, RegionSetMovesAnXTooCloseToTheEdgeToZero) {
    Open();
    harness->Type(240, L"1580");
    harness->Type(242, L"100");
    Mark();
    harness->Click(246);
    ExpectRoi(0, 0, 0, 100, 1200);
    EXPECT_EQ(1580u, harness->EditNumber(240));  // the edits keep what was typed
}

TEST_F(Page, RegionSetShortensAWidthPastTheEdge) {
    Open();
    harness->Type(240, L"100");
    harness->Type(242, L"1600");
    harness->Type(241, L"50");
    harness->Type(245, L"1190");
    Mark();
    harness->Click(246);
    ExpectRoi(0, 100, 50, 1500, 1150);
}

TEST_F(Page, RegionSetRaisesASmallSizeTo32) {
    Open();
    harness->Type(242, L"10");
    harness->Type(245, L"8");
    Mark();
    harness->Click(246);
    ExpectRoi(0, 0, 0, 32, 32);
}

TEST_F(Page, RegionSetWithoutASelectionSendsSubsampleZero) {
    filter->values[36] = 3;
    Open();
    SendMessageW(harness->Item(239), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    Mark();
    harness->Click(246);
    ExpectRoi(0, 0, 0, 1600, 1200);
    harness->SelectCombo(239, 2);
    Mark();
    harness->Click(246);
    ExpectRoi(2, 0, 0, 1600, 1200);
}

// Numbers too large for a signed value must not wrap the sums around.
TEST_F(Page, RegionSetHandlesHugeTypedNumbers) {
    Open();
    harness->Type(240, L"100");
    harness->Type(242, L"2147483647");
    Mark();
    harness->Click(246);
    ExpectRoi(0, 100, 0, 1500, 1200);
}

TEST_F(Page, RegionDefaultSendsTheWholeImage) {
    filter->values[36] = 3;
    Open();
    harness->SelectCombo(239, 1);
    for (int id : kRegionControls) EXPECT_FALSE(harness->Enabled(id)) << id;
    Mark();
    harness->Click(247);
    const auto sets = Sets();
    ExpectRoi(0, 0, 0, 1600, 1200);
    ExpectRegion(0, 0, 1600, 1200);
    EXPECT_EQ(0, SendMessageW(harness->Item(239), CB_GETCURSEL, 0, 0));
    for (int id : kRegionControls) EXPECT_TRUE(harness->Enabled(id)) << id;
    EXPECT_EQ(1600, harness->SpinPos(244));
    EXPECT_EQ(1200, harness->SpinPos(250));
}

TEST_F(Page, SubsampleSelectionLocksTheRegionAndSendsNothing) {
    filter->values[36] = 3;
    Open();
    harness->SelectCombo(239, 3);
    for (int id : kRegionControls) EXPECT_FALSE(harness->Enabled(id)) << id;
    harness->SelectCombo(239, 0);
    for (int id : kRegionControls) EXPECT_TRUE(harness->Enabled(id)) << id;
    EXPECT_TRUE(Sets().empty());
}

TEST_F(Page, TypedRegionNumbersThatFitMoveTheirUpDownAndMarkDirty) {
    Open();
    harness->Type(240, L"1599");
    EXPECT_EQ(1599, harness->SpinPos(224));
    EXPECT_EQ(S_OK, harness->page->IsPageDirty());
    EXPECT_EQ((std::vector<ULONG>{38, 39}), Gets());  // the full size is read afresh
    EXPECT_EQ(S_OK, harness->page->Apply());

    harness->Type(240, L"1600");  // x must lie inside the image
    EXPECT_EQ(1599, harness->SpinPos(224));
    EXPECT_EQ(S_FALSE, harness->page->IsPageDirty());

    harness->Type(242, L"1600");  // a width may equal it
    EXPECT_EQ(1600, harness->SpinPos(244));
    EXPECT_EQ(S_OK, harness->page->IsPageDirty());
    EXPECT_TRUE(Sets().empty());
}

TEST_F(Page, RegionUpDownFillsItsEdit) {
    Open();
    harness->MoveSpin(249, 300);
    EXPECT_EQ(300u, harness->EditNumber(241));
    EXPECT_EQ(S_OK, harness->page->IsPageDirty());
    EXPECT_TRUE(Sets().empty());
}

// ---------------------------------------------------------------------------
// Binding and activation cycles

TEST_F(Page, UnboundPageShowsPresetsAndStillTracksDirty) {
    TestFilter* bare = new TestFilter;  // has no configuration object
    harness = new PageHarness(bare);
    EXPECT_EQ(E_NOINTERFACE, harness->SetObject());
    ASSERT_EQ(S_OK, harness->Activate());
    EXPECT_EQ(200u, harness->EditNumber(202));
    EXPECT_EQ(3000u, harness->EditNumber(220));
    harness->MoveSlider(201, 500);
    EXPECT_EQ(200u, harness->EditNumber(202));  // nothing is handled without a driver
    harness->Type(220, L"700");
    EXPECT_EQ(S_OK, harness->page->IsPageDirty());
    EXPECT_TRUE(bare->calls.empty());
    delete harness;
    harness = nullptr;
    bare->Release();
}

TEST_F(Page, EachActivationShowsTheDriversCurrentValues) {
    Open();
    ASSERT_EQ(S_OK, harness->Deactivate());
    filter->values[2] = 999;
    Mark();
    ASSERT_EQ(S_OK, harness->Activate());
    EXPECT_EQ(999u, harness->EditNumber(202));
    EXPECT_EQ(48u, Gets().size());
    EXPECT_TRUE(Sets().empty());
}

TEST_F(Page, SecondObjectDoesNotRebind) {
    Open();
    TestFilter* other = new TestFilter;
    ASSERT_EQ(S_OK, other->Aggregate());
    IUnknown* object = other;
    EXPECT_EQ(S_OK, harness->page->SetObjects(1, &object));
    harness->MoveSlider(201, 600);
    ExpectOneSet(2, 600);
    EXPECT_TRUE(other->calls.empty());
    other->Release();
}
