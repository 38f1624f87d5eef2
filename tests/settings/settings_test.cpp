// Settings persistence through the host stack: the driver started above the
// simulated camera loads the "Settings" key of its driver key, applies it to
// the settings, the camera and the pipeline, and writes it back at stop.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "driver/camera/sensor_registers.h"
#include "driver/camera/settings_store.h"
#include "driver/device/read_timeout.h"
#include "host/kernel/registry_store.h"
#include "driver/pipeline/image_pipeline.h"
#include "tests/support/plugged_camera.h"

namespace {

using hostk::RegFileValue;

const char* const kTableOrder[] = {"Timeout",    "Exposure", "GlobalGain", "FlipH",      "FlipV",     "ColorEnable",
                                   "WhiteBalance", "ColorCorrection", "Brightness", "Contrast", "Saturation", "Hue",
                                   "RedGain",    "GreenGain", "BlueGain",   "AGC",        "AEC"};

class SettingsTest : public testrig::DriverTest {
protected:
    hostk::RegistryStore& Store() { return rig.Pnp().Registry(); }
    std::string SettingsKey() { return rig.Pnp().DriverKeyPath() + "\\Settings"; }
    void Save(const char* name, LONG value) { Store().SetDword(SettingsKey(), name, static_cast<uint32_t>(value)); }
    void SaveRaw(const char* name, ULONG type, std::vector<uint8_t> data) {
        Store().SetValue(SettingsKey(), name, type, data);
    }
    LONG Saved(const char* name) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_TRUE(Store().GetDword(SettingsKey(), name, &value)) << name << " is not a saved DWORD";
        return static_cast<LONG>(value);
    }
    // A fresh device add and start over the same registry, as when the
    // camera is plugged in again.
    void Replug() {
        rig.Remove();
        rig.Plug();
    }
    CameraSettings& Fields() { return rig.Context()->settings; }
    uint32_t Register(int reg) { return rig.Camera().SensorRegister(reg); }
};

TEST_F(SettingsTest, EmptyKeyGivesTheDefaultsAndTheirRegisters) {
    rig.Plug();
    const CameraSettings& s = Fields();
    EXPECT_EQ(s.timeout, 3000);
    EXPECT_EQ(ReadTimeout, 3000);
    EXPECT_EQ(s.exposure, 2);  // the missing value 0, clamped by SetExposure
    EXPECT_EQ(s.globalGain, 100);
    EXPECT_EQ(s.colorEnable, 1);
    EXPECT_EQ(s.whiteBalance, 0);
    EXPECT_EQ(s.colorCorrection, 1);
    EXPECT_EQ(s.brightness, 255);
    EXPECT_EQ(s.contrast, 10);
    EXPECT_EQ(s.saturation, 10);
    EXPECT_EQ(s.hue, 0);
    EXPECT_EQ(s.redGain, 128);
    EXPECT_EQ(s.greenGain, 128);
    EXPECT_EQ(s.blueGain, 128);
    EXPECT_EQ(Register(158), 2u);
    EXPECT_EQ(Register(159), 0u);
    EXPECT_EQ(Register(6), 36u);
    EXPECT_EQ(Register(7), 1u);
    // The load created the key but wrote nothing into it.
    EXPECT_TRUE(Store().KeyExists(SettingsKey()));
    EXPECT_TRUE(Store().Values(SettingsKey()).empty());
}

TEST_F(SettingsTest, SavedTimeoutIsUsedOnlyFrom501To9999) {
    const struct {
        LONG saved;
        LONG expected;
    } cases[] = {{500, 3000}, {10000, 3000}, {-1, 3000}, {501, 501}, {9999, 9999}};
    for (const auto& c : cases) {
        // Saved while the camera is away: its stop would write over it.
        rig.Remove();
        rig::SetReadTimeout(3000);
        Save("Timeout", c.saved);
        rig.Plug();
        EXPECT_EQ(Fields().timeout, c.expected) << "saved " << c.saved;
        EXPECT_EQ(ReadTimeout, c.expected) << "saved " << c.saved;
    }
}

TEST_F(SettingsTest, OutOfRangeValuesAreClampedOnLoad) {
    Save("Exposure", 5000);
    Save("GlobalGain", 1024);
    Save("Brightness", 700);
    Save("Contrast", 21);
    Save("Saturation", -4);
    Save("Hue", -1);
    Save("RedGain", 301);
    Save("GreenGain", -1);
    Save("BlueGain", 200);
    Save("ColorEnable", 0);
    Save("WhiteBalance", 1);
    Save("ColorCorrection", 7);
    rig.Plug();
    const CameraSettings& s = Fields();
    EXPECT_EQ(s.exposure, 1252);
    EXPECT_EQ(Register(158), 1252u & 0x3F);
    EXPECT_EQ(Register(159), 19u);
    EXPECT_EQ(s.globalGain, 1024);  // not clamped: the camera gets the low ten bits
    EXPECT_EQ(Register(6), 0u);
    EXPECT_EQ(Register(7), 0u);
    EXPECT_EQ(s.brightness, 510);
    EXPECT_EQ(s.contrast, 20);
    EXPECT_EQ(s.saturation, 0);
    EXPECT_EQ(s.hue, 0);
    EXPECT_EQ(s.redGain, 300);
    EXPECT_EQ(s.greenGain, 0);
    EXPECT_EQ(s.blueGain, 200);
    EXPECT_EQ(s.colorEnable, 0);
    EXPECT_EQ(s.whiteBalance, 1);
    EXPECT_EQ(s.colorCorrection, 7);
}

// Each applied setting with a value of its own, inside its range: what a
// start loads under a name, the next stop writes back under the same name.
TEST_F(SettingsTest, EveryAppliedSettingComesBackUnderItsOwnName) {
    const struct {
        const char* name;
        LONG value;
        LONG CameraSettings::*field;
    } cases[] = {
        {"Timeout", 4321, &CameraSettings::timeout},       {"Exposure", 700, &CameraSettings::exposure},
        {"GlobalGain", 300, &CameraSettings::globalGain},  {"ColorEnable", 0, &CameraSettings::colorEnable},
        {"WhiteBalance", 1, &CameraSettings::whiteBalance}, {"ColorCorrection", 0, &CameraSettings::colorCorrection},
        {"Brightness", 301, &CameraSettings::brightness},  {"Contrast", 5, &CameraSettings::contrast},
        {"Saturation", 15, &CameraSettings::saturation},   {"Hue", 200, &CameraSettings::hue},
        {"RedGain", 150, &CameraSettings::redGain},        {"GreenGain", 160, &CameraSettings::greenGain},
        {"BlueGain", 170, &CameraSettings::blueGain},
    };
    for (const auto& c : cases) Save(c.name, c.value);
    rig.Plug();
    for (const auto& c : cases) EXPECT_EQ(Fields().*c.field, c.value) << c.name;
    rig.Stop();
    for (const auto& c : cases) EXPECT_EQ(Saved(c.name), c.value) << c.name;
}

TEST_F(SettingsTest, FlipsAndAutomaticsAreReadButNeverApplied) {
    Save("FlipH", 1);
    Save("FlipV", 1);
    Save("AGC", 1);
    Save("AEC", 1);
    rig.Plug();
    EXPECT_EQ(Fields().flipH, 0);
    EXPECT_EQ(Fields().flipV, 0);
    EXPECT_EQ(Fields().agc, 0);
    EXPECT_EQ(Fields().aec, 0);
    rig.Stop();
    EXPECT_EQ(Saved("FlipH"), 0);
    EXPECT_EQ(Saved("FlipV"), 0);
    EXPECT_EQ(Saved("AGC"), 0);
    EXPECT_EQ(Saved("AEC"), 0);
}

TEST_F(SettingsTest, StopSavesTheSeventeenFieldsInTableOrderUnchecked) {
    rig.Plug();
    Fields().brightness = 123;
    Fields().hue = 400;  // what the fields hold is written, whether in range or not
    Fields().timeout = 20000;
    rig.Stop();
    std::vector<RegFileValue> values = Store().Values(SettingsKey());
    ASSERT_EQ(values.size(), 17u);
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(values[i].name, kTableOrder[i]);
        EXPECT_EQ(values[i].type, static_cast<uint32_t>(REG_DWORD));
        EXPECT_EQ(values[i].data.size(), 4u);
    }
    EXPECT_EQ(Saved("Brightness"), 123);
    EXPECT_EQ(Saved("Hue"), 400);
    EXPECT_EQ(Saved("Timeout"), 20000);
    EXPECT_EQ(Saved("Exposure"), 2);
    EXPECT_EQ(Saved("GlobalGain"), 100);
    EXPECT_EQ(Saved("RedGain"), 128);
}

TEST_F(SettingsTest, TimeoutAboveTheLoadBoundIsSavedButSkippedAtTheNextStart) {
    rig.Plug();
    // What an accepted Timeout request leaves behind.
    Fields().timeout = 20000;
    rig::SetReadTimeout(20000);
    rig.Stop();
    EXPECT_EQ(Saved("Timeout"), 20000);
    Replug();
    EXPECT_EQ(Fields().timeout, 3000);
    // The load leaves the driver-wide wait alone when it skips the value.
    EXPECT_EQ(ReadTimeout, 20000);
}

TEST_F(SettingsTest, OnlyAFourByteDwordIsASettingAnyOtherValueKeepsTheDefault) {
    SaveRaw("Brightness", REG_SZ, {'x', 0, 0, 0});                             // "x"
    SaveRaw("Contrast", REG_EXPAND_SZ, {'A', 0, 0, 0});                        // hex(2):41,00,00,00
    SaveRaw("Hue", REG_SZ, {'3', 0, '0', 0, '0', 0, 0, 0});                    // "300"
    SaveRaw("Saturation", REG_BINARY, {3, 0, 0, 0});                           // four bytes, not a DWORD
    SaveRaw("RedGain", REG_QWORD, {50, 0, 0, 0, 0, 0, 0, 0});                  // a QWORD
    SaveRaw("GreenGain", REG_DWORD, {});                                       // empty
    SaveRaw("BlueGain", REG_DWORD, {60, 0, 0});                                // three bytes
    SaveRaw("GlobalGain", REG_DWORD, {0x2C, 0x01, 0x00, 0x00});               // 300: the one setting
    rig.Plug();
    EXPECT_EQ(Fields().brightness, 255);
    EXPECT_EQ(Fields().contrast, 10);
    EXPECT_EQ(Fields().hue, 0);
    EXPECT_EQ(Fields().saturation, 10);
    EXPECT_EQ(Fields().redGain, 128);
    EXPECT_EQ(Fields().greenGain, 128);
    EXPECT_EQ(Fields().blueGain, 128);
    EXPECT_EQ(Fields().globalGain, 300);
}

TEST_F(SettingsTest, WithoutTheKeysNothingIsLoadedOrSaved) {
    // No driver key.
    hostk::RegistryFailCall(hostk::RegistryCall::OpenDeviceKey, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    Save("Brightness", 300);
    rig.Plug();
    EXPECT_EQ(Fields().brightness, 255);
    EXPECT_EQ(Fields().exposure, 0);  // device add's value; the load never ran SetExposure
    EXPECT_EQ(Fields().globalGain, 0);
    rig.Stop();
    EXPECT_EQ(Saved("Brightness"), 300);
    EXPECT_EQ(Store().Values(SettingsKey()).size(), 1u);
    hostk::RegistryResetFaults();
    rig.Remove();

    // A driver key in which "Settings" cannot be created: the driver key is
    // closed again (the fixture's leak check sees an open handle).
    hostk::RegistryFailCall(hostk::RegistryCall::CreateKey, STATUS_ACCESS_DENIED, 0, "Settings");
    rig.Plug();
    EXPECT_EQ(Fields().brightness, 255);
    EXPECT_EQ(Store().OpenHandles(), 0u);
    rig.Stop();
    EXPECT_EQ(Store().Values(SettingsKey()).size(), 1u);
    EXPECT_EQ(Store().OpenHandles(), 0u);
}

TEST_F(SettingsTest, AnUnreadableValueKeepsItsDefaultAndAFailedWriteSkipsOnlyItself) {
    Save("Hue", 100);
    Save("Brightness", 300);
    Save("Exposure", 500);
    hostk::RegistryFailCall(hostk::RegistryCall::QueryValue, STATUS_INSUFFICIENT_RESOURCES, 0, "Hue");
    rig.Plug();
    EXPECT_EQ(Fields().hue, 0);
    EXPECT_EQ(Fields().brightness, 300);
    hostk::RegistryResetFaults();

    Fields().hue = 5;
    Fields().exposure = 700;
    Fields().brightness = 301;
    hostk::RegistryFailCall(hostk::RegistryCall::SetValue, STATUS_INSUFFICIENT_RESOURCES, 0, "Exposure");
    rig.Stop();
    EXPECT_EQ(Saved("Exposure"), 500);  // the old value stays
    EXPECT_EQ(Saved("Hue"), 5);
    EXPECT_EQ(Saved("Brightness"), 301);
    EXPECT_EQ(Saved("AEC"), 0);
}

TEST_F(SettingsTest, NestedPathsAreCreatedOneLevelAtATime) {
    rig.Plug();
    PDEVICE_OBJECT pdo = rig.Pnp().KsDevice()->PhysicalDeviceObject;
    HANDLE driverKey = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, STANDARD_RIGHTS_READ, &driverKey), STATUS_SUCCESS);
    const std::string base = rig.Pnp().DriverKeyPath();

    RegistryName path;
    MakeRegistryName(&path, "Vendor\\Camera\\Settings");
    HANDLE key = nullptr;
    ASSERT_EQ(OpenKeyPath(driverKey, &path.string, &key), STATUS_SUCCESS);
    RegistryName value;
    MakeRegistryName(&value, "Deep");
    EXPECT_EQ(WriteDwordValue(key, &value.string, 77), STATUS_SUCCESS);
    ZwClose(key);
    uint32_t deep = 0;
    EXPECT_TRUE(Store().GetDword(base + "\\Vendor\\Camera\\Settings", "Deep", &deep));
    EXPECT_EQ(deep, 77u);
    EXPECT_EQ(Store().OpenHandles(), 1u);  // the prefixes' handles were closed

    // The first failure ends the walk with its status.
    MakeRegistryName(&path, "Other\\Middle\\Leaf");
    hostk::RegistryFailCall(hostk::RegistryCall::CreateKey, STATUS_ACCESS_DENIED, 2);
    key = &key;
    EXPECT_EQ(OpenKeyPath(driverKey, &path.string, &key), STATUS_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    EXPECT_TRUE(Store().KeyExists(base + "\\Other"));
    EXPECT_FALSE(Store().KeyExists(base + "\\Other\\Middle"));

    // A backslash in the first character is not a separator: the first
    // prefix is "\Other", which is no relative name.
    MakeRegistryName(&path, "\\Other\\Middle");
    EXPECT_EQ(OpenKeyPath(driverKey, &path.string, &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Store().OpenHandles(), 1u);

    // A value that is no four-byte DWORD reads as missing; the out value is kept.
    HANDLE settings = nullptr;
    ASSERT_EQ(OpenSettingsKey(driverKey, &settings), STATUS_SUCCESS);
    SaveRaw("Short", REG_DWORD, {1, 2});
    MakeRegistryName(&value, "Short");
    LONG read = -7;
    EXPECT_EQ(ReadDwordValue(settings, &value.string, &read), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(read, -7);
    ZwClose(settings);
    ZwClose(driverKey);
}

TEST_F(SettingsTest, LoadReachesAPipelineAndRebuildsOnlyWhatChanged) {
    rig.Plug();
    DeviceContext* context = rig.Context();
    ImagePipeline* pipeline = CreatePipeline();
    ASSERT_NE(pipeline, nullptr);
    context->pipeline = pipeline;
    // Marks in the stage matrices show which stages were rebuilt.
    pipeline->brightnessMatrix[0] = 42.0;
    pipeline->contrastMatrix[0] = 42.0;
    pipeline->hueMatrix[0] = 42.0;
    Save("Brightness", 300);
    Save("Contrast", 10);  // what the pipeline holds already
    Save("Hue", 360);      // clamped to 359
    Save("ColorEnable", 0);
    Save("RedGain", 301);
    Save("BlueGain", 17);
    EXPECT_TRUE(LoadSettings(context));
    EXPECT_EQ(GetBrightness(pipeline), 300);
    EXPECT_NE(pipeline->brightnessMatrix[0], 42.0);
    EXPECT_EQ(GetContrast(pipeline), 10);
    EXPECT_EQ(pipeline->contrastMatrix[0], 42.0);
    EXPECT_EQ(GetHue(pipeline), 359);
    EXPECT_NE(pipeline->hueMatrix[0], 42.0);
    EXPECT_EQ(GetColorEnable(pipeline), 0);
    EXPECT_EQ(GetRedGain(pipeline), 300);
    EXPECT_EQ(GetGreenGain(pipeline), 128);
    EXPECT_EQ(GetBlueGain(pipeline), 17);
    context->pipeline = nullptr;
    FreePipeline(pipeline);
}

// The whole road through a file: what one run saves, the next run loads; a
// value edited in the file by hand is clamped like any other.
TEST_F(SettingsTest, SettingsSurviveInTheStoreFile) {
    char directory[] = "/tmp/settings-test-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/camera.reg";
    rig::Options options;
    options.registryFile = path;
    std::string error;
    {
        auto plugged = rig::PluggedCamera::Make(options, &error);
        ASSERT_NE(plugged, nullptr) << error;
        ASSERT_EQ(plugged->PlugIn(), STATUS_SUCCESS);
        plugged->Context()->settings.saturation = 15;
        plugged->Stop();
        plugged->Remove();
        EXPECT_EQ(plugged->Registry().LastSaveError(), "");
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string file = text.str();
    EXPECT_EQ(file.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
    EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                        "{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000\\Settings]\r\n"
                        "\"Timeout\"=dword:00000bb8\r\n\"Exposure\"=dword:00000002\r\n"),
              std::string::npos)
        << file;
    EXPECT_NE(file.find("\"Saturation\"=dword:0000000f\r\n"), std::string::npos);
    // By hand: Brightness 700.
    size_t at = file.find("\"Brightness\"=dword:000000ff");
    ASSERT_NE(at, std::string::npos);
    file.replace(at, 27, "\"Brightness\"=dword:000002bc");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << file;
    {
        auto plugged = rig::PluggedCamera::Make(options, &error);
        ASSERT_NE(plugged, nullptr) << error;
        ASSERT_EQ(plugged->PlugIn(), STATUS_SUCCESS);
        EXPECT_EQ(plugged->Context()->settings.brightness, 510);
        EXPECT_EQ(plugged->Context()->settings.saturation, 15);
        plugged->Remove();
    }
    std::remove(path.c_str());
    rmdir(directory);
}

// The pipeline keeps factory values of its own, so that it stands alone in
// convert, the benchmarks and the pipeline tests; they must be the values a
// freshly added camera has, which the capture pin gives every new pipeline.
TEST(FactoryValues, AFreshPipelineHoldsTheValuesOfAFreshlyAddedCamera) {
    const struct {
        ULONG property;
        LONG (*get)(ImagePipeline*);
    } held[] = {
        {PropertyColorEnable, GetColorEnable},         {PropertyWhiteBalance, GetWhiteBalance},
        {PropertyRedGain, GetRedGain},                 {PropertyGreenGain, GetGreenGain},
        {PropertyBlueGain, GetBlueGain},               {PropertyColorCorrection, GetColorCorrection},
        {PropertyBrightness, GetBrightness},           {PropertyContrast, GetContrast},
        {PropertySaturation, GetSaturation},           {PropertyHue, GetHue},
    };
    size_t pipelineSettings = 0;
    for (const CameraSettingRow& row : CameraSettingRows) pipelineSettings += IsPipelineSetting(row.property) ? 1 : 0;
    ASSERT_EQ(pipelineSettings, sizeof held / sizeof held[0]) << "a pipeline setting without its line here";

    ImagePipeline* pipeline = CreatePipeline();
    ASSERT_NE(pipeline, nullptr);
    for (const auto& h : held) {
        EXPECT_TRUE(IsPipelineSetting(h.property)) << CameraPropertyName(h.property);
        EXPECT_EQ(h.get(pipeline), FindCameraSetting(h.property)->addDefault) << CameraPropertyName(h.property);
    }
    FreePipeline(pipeline);
}

}  // namespace
