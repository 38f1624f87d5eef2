// Activation: what the page reads from the driver, in which order, and what
// every control shows afterwards; binding and repeated activation.
#include "page_fixture.h"

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
