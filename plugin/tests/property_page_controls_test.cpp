// Sliders, up-downs, check boxes, buttons and the time-out, driven with real
// messages; checked by the requests sent and the controls' own state.
#include "page_fixture.h"

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
