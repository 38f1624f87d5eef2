// The region of interest and subsampling: clamping on "Set", "Default", the
// combo box and the region edits' dirty handling.
#include "page_fixture.h"

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
