// The camera page on the real driver, through the KS-proxy stand-in and
// `quelvixcam serve`. CTest runs these one at a time, in this order, around
// two servers on one registry store (plugin/tests/CMakeLists.txt):
//   first server:  BridgedPage.ShowsTheDriversValues,
//                  BridgedPage.ControlsChangeTheDriver
//   no server:     SavedStore.HoldsThePagesChanges
//   second server: BridgedPage.NewPageShowsTheSavedChanges, then a Roi
//                  through the page and the size the filter then offers.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "bridged_fixture.h"
// After the fixture: strmif.h first, so ksmedia.h does not declare its types again.
#include <ks.h>
#include <ksmedia.h>
#include "page_harness.h"
#include "slider_expectations.h"

namespace {

// KSPROPSETID_Pin (ks.h declares it; no import library defines it).
const GUID kPinPropertySet = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};

// The colour gains' sliders, edits and up-downs.
const int kColourGainControlIds[] = {211, 214, 215, 216, 217, 218, 221, 222, 223};

// A value the page changes through one of its controls, and where the page
// shows it: an edit's number, or a check box's state.
struct PageChange {
    ULONG property;
    LONG value;
    int shownBy;
    bool checkBox;
};

// What BridgedPage.ControlsChangeTheDriver leaves in the driver, and so in
// the store once the server has saved it. None is the driver's default or
// the page's preset.
const PageChange kPageChanges[] = {
    {PropertyExposure, 900, 202, false},     // slider
    {PropertyGlobalGain, 612, 205, false},   // up-down
    {PropertyBrightness, 301, 227, false},   // arrow key on the slider
    {PropertySaturation, 8, 230, false},     // arrow key in the up-down's edit
    {PropertyContrast, 17, 233, false},      // slider
    {PropertyHue, 200, 236, false},          // up-down
    {PropertyRedGain, 77, 214, false},       // slider
    {PropertyTimeout, 4321, 220, false},     // typed, then "Set"
    {PropertyColorEnable, 0, 212, true},     // check box
    {PropertyColorCorrection, 0, 252, true}, // check box
    {PropertyWhiteBalance, 1, 213, true},    // check box
};

class BridgedPage : public Bridged {
protected:
    void TearDown() override {
        delete harness;
        Bridged::TearDown();
    }
    void Open() {
        harness = new PageHarness(filter);
        ASSERT_EQ(S_OK, harness->SetObject());
        ASSERT_EQ(S_OK, harness->Activate());
    }
    void ExpectSlider(int slider, int edit, int spin, LONG min, LONG max, LONG value) {
        ExpectSliderRow(*harness, slider, edit, spin, min, max, value);
    }
    void ExpectShown(const PageChange& change) {
        if (change.checkBox) {
            EXPECT_EQ(change.value != 0, harness->Checked(change.shownBy)) << change.shownBy;
        } else {
            EXPECT_EQ(static_cast<UINT>(change.value), harness->EditNumber(change.shownBy))
                << change.shownBy;
        }
    }

    PageHarness* harness = nullptr;
};

// The settings in the store file: "Name"=dword:XXXXXXXX lines, the path in
// QUELVIX_BRIDGE_STORE.
std::map<std::string, LONG> StoredValues(std::string* error) {
    std::map<std::string, LONG> values;
    const char* path = std::getenv("QUELVIX_BRIDGE_STORE");
    FILE* file = path ? std::fopen(path, "r") : nullptr;
    if (!file) {
        *error = std::string("cannot open the store ") + (path ? path : "(QUELVIX_BRIDGE_STORE unset)");
        return values;
    }
    char line[512];
    while (std::fgets(line, sizeof line, file)) {
        char name[128];
        unsigned long value = 0;
        if (std::sscanf(line, "\"%127[^\"]\"=dword:%lx", name, &value) == 2) {
            values[name] = static_cast<LONG>(value);
        }
    }
    std::fclose(file);
    return values;
}

}  // namespace

// Every control shows what the driver answers. The values are first set
// through the bridge to numbers that are neither the driver's defaults nor
// the page's presets, so a control left at its preset cannot pass; where
// the driver ignores the set, the control shows the driver's answer.
TEST_F(BridgedPage, ShowsTheDriversValues) {
    const struct {
        ULONG property;
        LONG value;
    } start[] = {
        {PropertyExposure, 700}, {PropertyGlobalGain, 345}, {PropertyRedGain, 101},
        {PropertyGreenGain, 102}, {PropertyBlueGain, 103}, {PropertyBrightness, 300},
        {PropertyContrast, 13}, {PropertySaturation, 7}, {PropertyHue, 45},
        {PropertyTimeout, 2500}, {PropertyExTrigger, 1}, {PropertyFlipH, 1},
        {PropertyFlipV, 0}, {PropertyColorEnable, 0}, {PropertyWhiteBalance, 1},
        {PropertyColorCorrection, 0}, {PropertyAGC, 1}, {PropertyAEC, 1},
    };
    for (const auto& value : start) Set(value.property, value.value);
    Open();

    // The sliders with their limits: the driver's (exposure 2..1252, colour
    // gains 1..255), not the presets (0..1000, 1..300).
    ExpectSlider(201, 202, 203, 2, 1252, 700);
    ExpectSlider(204, 205, 206, 0, 1023, 345);
    ExpectSlider(211, 214, 215, 1, 255, 101);
    ExpectSlider(216, 217, 218, 1, 255, 102);
    ExpectSlider(221, 222, 223, 1, 255, 103);
    ExpectSlider(226, 227, 228, 0, 510, 300);
    ExpectSlider(229, 230, 231, 0, 20, 7);
    ExpectSlider(232, 233, 234, 0, 20, 13);
    ExpectSlider(235, 236, 237, 0, 359, 45);
    EXPECT_EQ(2500u, harness->EditNumber(220));

    // The switches.
    EXPECT_TRUE(harness->Checked(219));   // external trigger
    EXPECT_TRUE(harness->Enabled(219));   // the driver offers it
    // Mirror, flip and automatic gain and exposure: the driver has none of
    // them and ignored the sets above, so the boxes are clear (flip's preset
    // would check it), mirror and flip hidden, the automatic ones disabled.
    for (int id : {209, 210, 207, 208}) EXPECT_FALSE(harness->Checked(id)) << id;
    EXPECT_FALSE(harness->Visible(209));
    EXPECT_FALSE(harness->Visible(210));
    EXPECT_FALSE(harness->Visible(253));  // no half clock either
    EXPECT_FALSE(harness->Enabled(207));
    EXPECT_FALSE(harness->Enabled(208));
    for (int id : {201, 202, 204, 205}) EXPECT_TRUE(harness->Enabled(id)) << id;
    EXPECT_FALSE(harness->Checked(212));
    EXPECT_FALSE(harness->Checked(252));
    EXPECT_TRUE(harness->Checked(213));
    for (int id : kColourGainControlIds) EXPECT_FALSE(harness->Enabled(id)) << id;  // automatic

    // The image: the sensor's size, the whole image as the region (the
    // driver offers no subsampling, so the combo box is off and empty).
    EXPECT_EQ(1600u, harness->EditNumber(238));
    EXPECT_EQ(1200u, harness->EditNumber(243));
    EXPECT_EQ(0u, harness->EditNumber(240));
    EXPECT_EQ(0u, harness->EditNumber(241));
    EXPECT_EQ(1600u, harness->EditNumber(242));
    EXPECT_EQ(1200u, harness->EditNumber(245));
    EXPECT_FALSE(harness->Enabled(239));
    EXPECT_EQ(0, SendMessageW(harness->Item(239), CB_GETCOUNT, 0, 0));
    EXPECT_TRUE(harness->Enabled(246));  // no pin: the region may change
}

// Each change made with a real control reaches the driver and is what the
// driver answers afterwards.
TEST_F(BridgedPage, ControlsChangeTheDriver) {
    const struct {
        ULONG property;
        LONG value;
    } start[] = {
        {PropertyWhiteBalance, 0}, {PropertyExposure, 700},
        {PropertyGlobalGain, 345}, {PropertyBrightness, 300}, {PropertySaturation, 7},
        {PropertyContrast, 13}, {PropertyHue, 45}, {PropertyRedGain, 101},
        {PropertyTimeout, 2500}, {PropertyColorEnable, 1}, {PropertyColorCorrection, 1},
    };
    for (const auto& value : start) Set(value.property, value.value);
    Open();

    harness->MoveSlider(201, 900);
    EXPECT_EQ(900, Driver(PropertyExposure));
    harness->MoveSpin(206, 612);
    EXPECT_EQ(612, Driver(PropertyGlobalGain));
    harness->Key(226, VK_RIGHT);
    EXPECT_EQ(301, Driver(PropertyBrightness));
    harness->Key(230, VK_UP);
    EXPECT_EQ(8, Driver(PropertySaturation));
    harness->MoveSlider(232, 17);
    EXPECT_EQ(17, Driver(PropertyContrast));
    harness->MoveSpin(237, 200);
    EXPECT_EQ(200, Driver(PropertyHue));
    harness->MoveSlider(211, 77);
    EXPECT_EQ(77, Driver(PropertyRedGain));
    // A slider pushed past its range stops at the driver's maximum, which
    // the driver takes unchanged.
    harness->MoveSlider(201, 5000);
    EXPECT_EQ(1252u, harness->EditNumber(202));
    EXPECT_EQ(1252, Driver(PropertyExposure));
    harness->MoveSlider(201, 900);
    EXPECT_EQ(900, Driver(PropertyExposure));

    harness->Type(220, L"4321");
    EXPECT_EQ(2500, Driver(PropertyTimeout));  // typing alone sends nothing
    harness->Click(248);
    EXPECT_EQ(4321, Driver(PropertyTimeout));

    harness->Click(212);
    EXPECT_EQ(0, Driver(PropertyColorEnable));
    harness->Click(252);
    EXPECT_EQ(0, Driver(PropertyColorCorrection));
    harness->Click(213);
    EXPECT_EQ(1, Driver(PropertyWhiteBalance));
    EXPECT_FALSE(harness->Enabled(211));

    for (const PageChange& change : kPageChanges) {
        EXPECT_EQ(change.value, Driver(change.property)) << CameraPropertyName(change.property);
        ExpectShown(change);
    }
}

// After the first server stopped: the store it saved holds every change.
TEST(SavedStore, HoldsThePagesChanges) {
    std::string error;
    const std::map<std::string, LONG> stored = StoredValues(&error);
    ASSERT_EQ("", error);
    for (const PageChange& change : kPageChanges) {
        const char* name = CameraPropertyName(change.property);
        const auto found = stored.find(name);
        ASSERT_NE(stored.end(), found) << name;
        EXPECT_EQ(change.value, found->second) << name;
    }
}

// A second server loaded the store: a new page shows the changes again.
TEST_F(BridgedPage, NewPageShowsTheSavedChanges) {
    Open();
    for (const PageChange& change : kPageChanges) {
        ExpectShown(change);
        EXPECT_EQ(change.value, Driver(change.property)) << CameraPropertyName(change.property);
    }
    EXPECT_EQ(900, harness->SliderPos(201));
    EXPECT_EQ(612, harness->SliderPos(204));
    EXPECT_EQ(77, harness->SliderPos(211));
}

// The region typed into the page and sent with "Set" reaches the driver:
// the request succeeds, the driver answers its region as it does after any
// Roi (the whole sensor), and the size goes to the format the filter offers
// its next pin, which an application reads from the filter's pin properties
// (KSPROPERTY_PIN_DATARANGES of pin 0, through the same IKsPropertySet).
TEST_F(BridgedPage, RegionSetThroughThePageReachesTheDriver) {
    Open();
    harness->Type(242, L"1024");
    harness->Type(245, L"768");
    harness->Click(246);
    EXPECT_EQ(static_cast<ULONG>(PropertyRoi), filter->lastId);
    EXPECT_EQ(0, filter->lastStatus);  // STATUS_SUCCESS
    EXPECT_EQ(1600, Driver(PropertyRoiW));
    EXPECT_EQ(1200, Driver(PropertyRoiH));

    const ULONG pin[2] = {0, 0};  // KSP_PIN after its KSPROPERTY: PinId, Reserved
    alignas(8) BYTE ranges[1024] = {};
    DWORD returned = 0;
    ASSERT_EQ(S_OK, filter->Get(kPinPropertySet, KSPROPERTY_PIN_DATARANGES, const_cast<ULONG*>(pin),
                                sizeof pin, ranges, sizeof ranges, &returned));
    const auto* list = reinterpret_cast<const KSMULTIPLE_ITEM*>(ranges);
    ASSERT_EQ(1u, list->Count);
    ASSERT_GE(returned, sizeof(KSMULTIPLE_ITEM) + sizeof(KS_DATARANGE_VIDEO));
    EXPECT_EQ(list->Size, returned);
    const auto* video = reinterpret_cast<const KS_DATARANGE_VIDEO*>(list + 1);
    EXPECT_EQ(1024, video->VideoInfoHeader.bmiHeader.biWidth);
    EXPECT_EQ(768, video->VideoInfoHeader.bmiHeader.biHeight);
    EXPECT_EQ(1024u * 768 * 4, video->VideoInfoHeader.bmiHeader.biSizeImage);
}
