// Fixture for the camera page tests: a stand-in filter, the page created,
// bound and activated on demand, and checks of requests and control state.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <vector>

#include "page_harness.h"
#include "slider_expectations.h"
#include "test_filter.h"

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
        ExpectSliderRow(*harness, slider, edit, spin, min, max, value);
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

// The nine colour gain controls and the eight region edits and up-downs.
constexpr int kColourGainControls[] = {211, 214, 215, 216, 217, 218, 221, 222, 223};
constexpr int kRegionControls[] = {240, 241, 242, 245, 224, 249, 244, 250};
