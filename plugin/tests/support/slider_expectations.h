// The check every page test makes of a slider row: the slider, its edit and
// its up-down agree on the range and show one value.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "page_harness.h"

inline void ExpectSliderRow(PageHarness& harness, int slider, int edit, int spin, LONG min, LONG max, LONG value) {
    EXPECT_EQ(min, harness.SliderMin(slider)) << slider;
    EXPECT_EQ(max, harness.SliderMax(slider)) << slider;
    EXPECT_EQ(value, harness.SliderPos(slider)) << slider;
    EXPECT_EQ(static_cast<UINT>(value), harness.EditNumber(edit)) << edit;
    LONG spinMin = -1, spinMax = -1;
    harness.SpinRange(spin, &spinMin, &spinMax);
    EXPECT_EQ(min, spinMin) << spin;
    EXPECT_EQ(max, spinMax) << spin;
    EXPECT_EQ(value, harness.SpinPos(spin)) << spin;
}
