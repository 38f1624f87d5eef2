// Fixture for the tests against the real driver: a KS-proxy stand-in
// connected over the bridge to the `quelvixcam serve` the CTest fixture
// started, with the plug-in's configuration object aggregated under it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "IQuelvixDSProxyConfig.h"
#include "bridged_filter.h"
#include "camera_property_set.h"

class Bridged : public testing::Test {
protected:
    void SetUp() override {
        filter = new BridgedFilter;
        ASSERT_TRUE(filter->Connect()) << filter->error;
        ASSERT_EQ(S_OK, filter->Aggregate());
        config = filter->Config();
        ASSERT_NE(nullptr, config);
    }
    void TearDown() override {
        EXPECT_EQ("", filter->error);  // the bridge itself never failed
        if (config) config->Release();
        filter->Release();
    }

    // The driver's answer to a get; the preset is what no driver answers.
    LONG Driver(ULONG id) {
        LONG value = kNoValue;
        EXPECT_EQ(S_OK, config->GetValue(id, &value)) << CameraPropertyName(id);
        return value;
    }
    void Set(ULONG id, LONG value) {
        EXPECT_EQ(S_OK, config->SetValue(id, value)) << CameraPropertyName(id);
    }

    static constexpr LONG kNoValue = -123456;
    BridgedFilter* filter = nullptr;
    IQuelvixDSProxyConfig* config = nullptr;
};
