// The configuration object against the real driver, through the KS-proxy
// stand-in and `quelvixcam serve`: what the driver really does with the
// values the plug-in sends. The expected numbers are the driver's own
// (driver/camera/camera_settings.h and property_set.cpp), as
// `quelvixcam get` and `set` show them on the host.
#include "bridged_fixture.h"

namespace {

// What the KS proxy returns when the driver has no such item or operation:
// STATUS_NOT_FOUND reaches the caller as ERROR_NOT_FOUND.
constexpr HRESULT kPropertyUnsupported = static_cast<HRESULT>(0x80070490);  // E_PROP_ID_UNSUPPORTED
// A request below the item's minimum sizes: STATUS_BUFFER_TOO_SMALL.
constexpr HRESULT kBufferTooSmall = static_cast<HRESULT>(0x8007007A);  // ERROR_INSUFFICIENT_BUFFER

}  // namespace

using BridgedConfig = Bridged;

TEST_F(BridgedConfig, ReadsTheDriversLimitsAndSensorSize) {
    EXPECT_EQ(2, Driver(PropertyExposureMin));
    EXPECT_EQ(1252, Driver(PropertyExposureMax));
    EXPECT_EQ(1023, Driver(PropertyGlobalGainMax));
    EXPECT_EQ(512, Driver(PropertyGlobalGainDefault));
    EXPECT_EQ(1, Driver(PropertyColorGainMin));
    EXPECT_EQ(255, Driver(PropertyColorGainMax));
    EXPECT_EQ(510, Driver(PropertyBrightnessMax));
    EXPECT_EQ(359, Driver(PropertyHueMax));
    EXPECT_EQ(1600, Driver(PropertySensorWidth));
    EXPECT_EQ(1200, Driver(PropertySensorHeight));
    EXPECT_EQ(0, Driver(PropertySubSampleMax));
    EXPECT_EQ(1, Driver(PropertyExTriggerSupported));
    EXPECT_EQ(0, Driver(PropertyPinOpen));  // serve runs no pin
}

TEST_F(BridgedConfig, SetValuesAreClampedAsTheDriverClampsThem) {
    Set(PropertyExposure, 5000);
    EXPECT_EQ(1252, Driver(PropertyExposure));
    Set(PropertyExposure, 1);
    EXPECT_EQ(2, Driver(PropertyExposure));
    Set(PropertyExposure, 640);
    EXPECT_EQ(640, Driver(PropertyExposure));
    Set(PropertyBrightness, 600);
    EXPECT_EQ(510, Driver(PropertyBrightness));
    Set(PropertyHue, -5);
    EXPECT_EQ(0, Driver(PropertyHue));
    // The colour gains are held to 0..300, beyond the 1..255 offered.
    Set(PropertyRedGain, 280);
    EXPECT_EQ(280, Driver(PropertyRedGain));
    Set(PropertyRedGain, 999);
    EXPECT_EQ(300, Driver(PropertyRedGain));
    // The global gain is not clamped at all.
    Set(PropertyGlobalGain, 4000);
    EXPECT_EQ(4000, Driver(PropertyGlobalGain));
    Set(PropertyGlobalGain, 100);
}

TEST_F(BridgedConfig, RefusedSetsSucceedAndChangeNothing) {
    Set(PropertyTimeout, 2500);
    ASSERT_EQ(2500, Driver(PropertyTimeout));
    // Below 501 ms the wait is ignored, and the set still succeeds.
    EXPECT_EQ(S_OK, config->SetValue(PropertyTimeout, 400));
    EXPECT_EQ(2500, Driver(PropertyTimeout));
    // HalfClock has nothing behind it: the set succeeds, the value stays.
    EXPECT_EQ(S_OK, config->SetValue(PropertyHalfClock, 1));
    EXPECT_EQ(0, Driver(PropertyHalfClock));
    Set(PropertyTimeout, 3000);
}

TEST_F(BridgedConfig, IdsWithoutAGetOrASetFailAsTheDriverAnswers) {
    // Roi and SendCommand20 have no get: the caller's value stays.
    LONG value = 77;
    EXPECT_EQ(kPropertyUnsupported, config->GetValue(PropertyRoi, &value));
    EXPECT_EQ(77, value);
    EXPECT_EQ(kPropertyUnsupported, config->GetValue(PropertySendCommand20, &value));
    EXPECT_EQ(77, value);
    // The read-only ids refuse a set, and their value stays.
    EXPECT_EQ(kPropertyUnsupported, config->SetValue(PropertyExposureMax, 10));
    EXPECT_EQ(1252, Driver(PropertyExposureMax));
    EXPECT_EQ(kPropertyUnsupported, config->SetValue(PropertySensorWidth, 640));
    EXPECT_EQ(kPropertyUnsupported, config->SetValue(PropertyRoiW, 640));
    EXPECT_EQ(1600, Driver(PropertySensorWidth));
    // An id beyond the set is no item at all.
    EXPECT_EQ(kPropertyUnsupported, config->GetValue(CameraPropertyCount, &value));
    EXPECT_EQ(kPropertyUnsupported, config->SetValue(CameraPropertyCount, 1));
    // SendCommand20 takes a set.
    EXPECT_EQ(S_OK, config->SetValue(PropertySendCommand20, 0));
}

TEST_F(BridgedConfig, RoiSucceedsAndLeavesTheRegionAtTheWholeSensor) {
    EXPECT_EQ(S_OK, config->SetRoi(0, 0, 0, 1024, 768));
    // The driver takes the Roi's size for its output and resets the region
    // it reports to the whole sensor, whatever was asked.
    EXPECT_EQ(1600, Driver(PropertyRoiW));
    EXPECT_EQ(1200, Driver(PropertyRoiH));
    EXPECT_EQ(0, Driver(PropertyRoiX));
    EXPECT_EQ(0, Driver(PropertySubSample));
    // A size beyond the sensor is ignored, and still succeeds.
    EXPECT_EQ(S_OK, config->SetRoi(0, 0, 0, 4000, 768));
    EXPECT_EQ(S_OK, config->SetRoi(0, 0, 0, 1600, 1200));
}

// IKsPropertySet itself, as the KS proxy turns its calls into requests.
TEST_F(BridgedConfig, QuerySupportedAnswersTheItemsAccess) {
    DWORD support = 0;
    EXPECT_EQ(S_OK, filter->QuerySupported(IID_IQuelvixDSProxyConfig, PropertyExposure, &support));
    EXPECT_EQ(3u, support);  // KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET
    EXPECT_EQ(S_OK, filter->QuerySupported(IID_IQuelvixDSProxyConfig, PropertyExposureMax, &support));
    EXPECT_EQ(1u, support);
    EXPECT_EQ(S_OK, filter->QuerySupported(IID_IQuelvixDSProxyConfig, PropertyRoi, &support));
    EXPECT_EQ(2u, support);
    EXPECT_EQ(kPropertyUnsupported,
              filter->QuerySupported(IID_IQuelvixDSProxyConfig, CameraPropertyCount, &support));
}

TEST_F(BridgedConfig, RequestsBelowTheItemsMinimumSizesAreRefused) {
    CameraPropertyValue buffer = {};
    DWORD returned = 99;
    // Without instance data the request is the bare 24-byte header, which
    // is all the items ask of a request (QuerySupported sends no more): the
    // value travels in the data buffer.
    EXPECT_EQ(S_OK, filter->Get(IID_IQuelvixDSProxyConfig, PropertySensorWidth, nullptr, 0, &buffer,
                                sizeof buffer, &returned));
    EXPECT_EQ(32u, returned);
    EXPECT_EQ(1600, buffer.Value);
    // A data buffer of one LONG is below the 32 bytes they ask of the data.
    LONG value = 5;
    EXPECT_EQ(kBufferTooSmall, filter->Get(IID_IQuelvixDSProxyConfig, PropertyExposure, &buffer,
                                           sizeof buffer, &value, sizeof value, &returned));
    EXPECT_EQ(5, value);
    // With both at 32 bytes the value comes back at offset 24.
    EXPECT_EQ(S_OK, filter->Get(IID_IQuelvixDSProxyConfig, PropertySensorHeight, &buffer,
                                sizeof buffer, &buffer, sizeof buffer, &returned));
    EXPECT_EQ(32u, returned);
    EXPECT_EQ(1200, buffer.Value);
}
