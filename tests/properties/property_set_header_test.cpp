// The property set header the driver, the plug-in and the tool share: its
// names, and the same layout whether C or C++ reads it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <string>

#include "driver/camera/property_set.h"

extern "C" {
const char* PropertyNameInC(ULONG id);
ULONG PropertyCountInC(void);
size_t ValueOffsetInC(void);
size_t ValueSizeInC(void);
size_t RoiWidthOffsetInC(void);
size_t RoiSizeInC(void);
const void* SetGuidInC(void);
}

namespace {

TEST(PropertySetHeader, EveryIdHasItsOwnNameAndNothingBeyond) {
    ASSERT_EQ(CameraPropertyCount, 57);
    std::set<std::string> names;
    for (ULONG id = 0; id < CameraPropertyCount; ++id) {
        ASSERT_NE(CameraPropertyName(id), nullptr) << id;
        EXPECT_TRUE(names.insert(CameraPropertyName(id)).second) << CameraPropertyName(id) << " twice";
    }
    EXPECT_EQ(CameraPropertyName(CameraPropertyCount), nullptr);
    EXPECT_EQ(CameraPropertyName(0xFFFFFFFFu), nullptr);
    EXPECT_STREQ(CameraPropertyName(PropertyExTrigger), "ExTrigger");
    EXPECT_STREQ(CameraPropertyName(PropertyRoi), "Roi");
    EXPECT_STREQ(CameraPropertyName(PropertyAEC), "AEC");
}

TEST(PropertySetHeader, CReadsTheSameNamesLayoutAndGuid) {
    EXPECT_EQ(PropertyCountInC(), static_cast<ULONG>(CameraPropertyCount));
    for (ULONG id = 0; id <= CameraPropertyCount; ++id) {
        const char* c = PropertyNameInC(id);
        const char* cxx = CameraPropertyName(id);
        EXPECT_EQ(c == nullptr, cxx == nullptr) << id;
        if (c && cxx) {
            EXPECT_STREQ(c, cxx);
        }
    }
    // The value at offset 24 of 32 bytes; Roi's size at 36 and 40 of 48.
    EXPECT_EQ(ValueOffsetInC(), 24u);
    EXPECT_EQ(ValueOffsetInC(), offsetof(CameraPropertyValue, Value));
    EXPECT_EQ(ValueSizeInC(), 32u);
    EXPECT_EQ(RoiWidthOffsetInC(), 36u);
    EXPECT_EQ(RoiWidthOffsetInC(), offsetof(CameraRoiValue, Width));
    EXPECT_EQ(offsetof(CameraRoiValue, Height), 40u);
    EXPECT_EQ(RoiSizeInC(), 48u);
    EXPECT_EQ(std::memcmp(SetGuidInC(), &CameraPropertySetId, 16), 0);
    EXPECT_EQ(CameraPropertySetId.Data1, 0x9B623622u);
}

}  // namespace
