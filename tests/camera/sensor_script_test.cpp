// The start-up register script: what a device start sends, in which order,
// and what the shadow and the camera's register file hold afterwards.
#include <cstdlib>
#include <map>

#include "driver/camera/sensor_registers.h"
#include "driver/camera/sensor_script.h"
#include "driver/camera/trigger_mode.h"
#include "tests/camera/camera_test_support.h"

using cameratest::RegisterLine;
using cameratest::StartedCamera;
using testrig::CommandLine;
using testrig::DriverTest;
using testrig::LinesStartingWith;

namespace {

constexpr size_t ScriptWrites = 946;

struct Write {
    int reg;
    uint32_t value;
};

// Decodes a "BULK_OUT 0 64 <hex>" line that must hold a well-formed
// WriteSensorRegister packet: bit count matching the register's width,
// nothing past byte 5.
::testing::AssertionResult DecodeRegisterWrite(const std::string& line, Write* out) {
    const std::string head = "BULK_OUT 0 64 ";
    if (line.compare(0, head.size(), head) != 0 || line.size() != head.size() + 128)
        return ::testing::AssertionFailure() << "not a 64-byte command: " << line;
    uint8_t b[64];
    for (int i = 0; i < 64; ++i) b[i] = static_cast<uint8_t>(std::strtoul(line.substr(head.size() + 2 * i, 2).c_str(), nullptr, 16));
    if (b[0] != 0x04) return ::testing::AssertionFailure() << "not a register write: " << line;
    for (int i = 6; i < 64; ++i)
        if (b[i] != 0) return ::testing::AssertionFailure() << "byte " << i << " not zero: " << line;
    const uint32_t word = b[2] | (b[3] << 8) | (b[4] << 16) | (static_cast<uint32_t>(b[5]) << 24);
    const int reg = static_cast<int>(word & 0x3FF);
    const int width = reg < 256 ? 6 : reg < 384 ? 16 : 22;
    if (b[1] != 10 + width) return ::testing::AssertionFailure() << "bit count " << int(b[1]) << " for register " << reg;
    if ((word >> 10) >> width) return ::testing::AssertionFailure() << "value wider than register " << reg;
    out->reg = reg;
    out->value = word >> 10;
    return ::testing::AssertionSuccess();
}

// The register order of the ten runs: first register and number of writes.
std::vector<int> ScriptRegisterOrder() {
    const int runs[][2] = {{35, 12}, {512, 512}, {256, 256}, {1, 30}, {16, 15},
                           {33, 2},  {47, 16},   {64, 100},  {158, 2}, {32, 1}};
    std::vector<int> order;
    for (const auto& run : runs)
        for (int k = 0; k < run[1]; ++k) order.push_back(run[0] + k);
    return order;
}

// Six-bit control registers after the script, last value written winning.
std::map<int, uint32_t> ControlValuesAfterScript() {
    std::map<int, uint32_t> v;
    for (int r = 1; r <= 30; ++r) v[r] = 0;
    for (int r = 32; r <= 62; ++r) v[r] = 0;
    for (int r = 64; r <= 163; ++r) v[r] = 0;
    const std::pair<int, uint32_t> set[] = {
        {1, 8},    {2, 3},    {7, 3},    {28, 31},  {32, 11},  {34, 1},   {35, 63},  {36, 7},   {37, 56},
        {38, 39},  {39, 55},  {40, 6},   {41, 63},  {42, 1},   {44, 39},  {45, 5},   {46, 2},   {47, 9},
        {49, 6},   {140, 59}, {141, 2},  {143, 55}, {144, 3},  {145, 2},  {146, 43}, {147, 9},  {149, 39},
        {150, 10}, {151, 2},  {152, 1},  {155, 2},  {157, 1},  {158, 36}, {159, 1},
    };
    for (const auto& s : set) v[s.first] = s.second;
    return v;
}

// The two sequence tables; every other register of 256..511 is zero.
const std::map<int, uint32_t> SequenceTables = {
    {384, 0x01C001}, {385, 0x220001}, {386, 0x260001}, {387, 0x07D002}, {388, 0x046003}, {389, 0x061009},
    {390, 0x04600A}, {391, 0x0004E4}, {392, 0x3E04E4}, {400, 0x0D5001}, {401, 0x220001}, {402, 0x260001},
    {403, 0x130002}, {404, 0x16F009}, {405, 0x13000A}, {406, 0x0951FF}, {407, 0x3E01FF},
};

// Checks that `lines` is exactly the script: register order, packet form and
// the values the sensor must end with.
void ExpectScript(const std::vector<std::string>& lines) {
    ASSERT_EQ(lines.size(), ScriptWrites);
    EXPECT_EQ(lines.front(), RegisterLine(0x10, 0x23, 0xFC, 0x00, 0x00));  // 35 = 63
    EXPECT_EQ(lines.back(), RegisterLine(0x10, 0x20, 0x2C, 0x00, 0x00));   // 32 = 11
    const std::vector<int> order = ScriptRegisterOrder();
    ASSERT_EQ(order.size(), ScriptWrites);
    std::vector<uint32_t> final(1024, 0xFFFFFFFFu);  // never written
    for (size_t i = 0; i < lines.size(); ++i) {
        Write w{};
        ASSERT_TRUE(DecodeRegisterWrite(lines[i], &w)) << "write " << i;
        ASSERT_EQ(w.reg, order[i]) << "write " << i;
        final[w.reg] = w.value;
    }

    // Never written: 0, 31, 63 and 164..255.
    for (int r : {0, 31, 63}) EXPECT_EQ(final[r], 0xFFFFFFFFu) << r;
    for (int r = 164; r < 256; ++r) EXPECT_EQ(final[r], 0xFFFFFFFFu) << r;
    for (const auto& c : ControlValuesAfterScript()) EXPECT_EQ(final[c.first], c.second) << "register " << c.first;
    for (int r = 256; r < 512; ++r) {
        auto it = SequenceTables.find(r);
        EXPECT_EQ(final[r], it == SequenceTables.end() ? 0u : it->second) << "register " << r;
    }

    // The timing programs: ten in 512..969, each with a strictly increasing
    // count, ending in an 0x3FE word with its largest count; zero beyond.
    const int starts[] = {512, 540, 582, 609, 637, 661, 725, 816, 879, 943, 970};
    const uint32_t lastCounts[] = {480, 1920, 1920, 1920, 1920, 1680, 2352, 2352, 2352, 480};
    for (int p = 0; p < 10; ++p) {
        SCOPED_TRACE(testing::Message() << "program " << p);
        for (int r = starts[p] + 1; r < starts[p + 1]; ++r) EXPECT_GT(final[r] & 0xFFF, final[r - 1] & 0xFFF) << r;
        const uint32_t last = final[starts[p + 1] - 1];
        EXPECT_EQ(last >> 12, 0x3FEu);
        EXPECT_EQ(last & 0xFFF, lastCounts[p]);
        for (int r = starts[p]; r < starts[p + 1] - 1; ++r) EXPECT_NE(final[r] >> 12, 0x3FEu) << r;
        // All but program 4 open with the same 19 words.
        if (p != 4) {
            EXPECT_EQ(final[starts[p]], 0x03200Au);
            EXPECT_EQ(final[starts[p] + 18], 0x06A0B2u);
            for (int k = 0; k < 19; ++k) EXPECT_EQ(final[starts[p] + k], final[512 + k]) << k;
        }
    }
    for (int r = 970; r < 1024; ++r) EXPECT_EQ(final[r], 0u) << r;
    // The sequence tables name programs by their offset from 512.
    for (const auto& e : SequenceTables) {
        const uint32_t upper = e.second >> 12;
        if (upper == 0x220 || upper == 0x260 || upper == 0x3E0) continue;
        EXPECT_NE(std::find(std::begin(starts), std::end(starts) - 1, static_cast<int>(512 + upper)), std::end(starts) - 1)
            << "register " << e.first;
    }
}

TEST_F(DriverTest, StartSendsDeviceStartupThenThe946ScriptWritesInOrder) {
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    rig.Camera().ClearTrace();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    const std::vector<std::string> commands = LinesStartingWith(rig.Camera().TraceLines(), "BULK_OUT 0 ");
    ASSERT_GE(commands.size(), 1 + ScriptWrites);
    EXPECT_EQ(commands[0], CommandLine({0x06}));
    ExpectScript(std::vector<std::string>(commands.begin() + 1, commands.begin() + 1 + ScriptWrites));

    // The shadow holds the script's values where the settings load does not
    // write again, and the camera holds what the shadow says, masked.
    DeviceContext* context = rig.Context();
    for (int r = 16; r <= 20; ++r) EXPECT_EQ(context->sensorRegisters[r], 0) << r;
    EXPECT_EQ(context->sensorRegisters[28], 31);
    EXPECT_EQ(context->sensorRegisters[391], 1252);
    for (int r = 256; r < 384; ++r) EXPECT_EQ(context->sensorRegisters[r], 0) << r;
    for (int r = 970; r < 1024; ++r) EXPECT_EQ(context->sensorRegisters[r], 0) << r;
    const std::vector<uint32_t> file = rig.Camera().SensorRegisterFile();
    for (ULONG r = 0; r < SensorRegisterCount; ++r) {
        const uint32_t mask = r < 256 ? 0x3F : r < 384 ? 0xFFFF : 0x3FFFFF;
        EXPECT_EQ(file[r], static_cast<uint32_t>(context->sensorRegisters[r]) & mask) << r;
    }
}

using SensorScriptTest = StartedCamera;

TEST_F(SensorScriptTest, ScriptAloneIsExactly946WritesAndLeavesTheShadowAsProgrammed) {
    for (ULONG r = 0; r < SensorRegisterCount; ++r) context->sensorRegisters[r] = 77;
    RunSensorScript(context);
    ExpectScript(Commands());
    // Registers 158/159 end as the script's last writes left them (exposure
    // 100), and gain 192 sits in 6/7; 32 has bit 4 clear, 33 is 0.
    EXPECT_EQ(context->sensorRegisters[158], 36);
    EXPECT_EQ(context->sensorRegisters[159], 1);
    EXPECT_EQ(context->sensorRegisters[6], 0);
    EXPECT_EQ(context->sensorRegisters[7], 3);
    EXPECT_EQ(context->sensorRegisters[32], 11);
    EXPECT_EQ(context->sensorRegisters[33], 0);
    EXPECT_EQ(rig.Camera().Exposure(), 100u);
    EXPECT_EQ(rig.Camera().GlobalGain(), 192u);
    // Registers the script does not write keep whatever they held.
    for (int r : {0, 31, 63, 164, 200, 255}) EXPECT_EQ(context->sensorRegisters[r], 77) << r;
}

TEST_F(SensorScriptTest, RestartReprogramsTheSensorFromScratch) {
    context->sensorRegisters[28] = 5;
    ASSERT_TRUE(SetTriggerMode(context, 1));
    rig.Stop();
    rig.Camera().ClearTrace();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    const std::vector<std::string> commands = Commands();
    ASSERT_GE(commands.size(), 1 + ScriptWrites);
    EXPECT_EQ(commands[0], CommandLine({0x06}));
    EXPECT_EQ(context->sensorRegisters[28], 31);
    // Trigger mode is not re-applied: the sensor runs free again whatever
    // externalTrigger says.
    EXPECT_EQ(context->sensorRegisters[32], 11);
    EXPECT_EQ(context->sensorRegisters[33], 0);
    EXPECT_EQ(context->settings.externalTrigger, 1);
}

TEST_F(DriverTest, CameraRejectingEveryWriteStillGetsTheWholeScriptAndTheStartGoesOn) {
    struct Case {
        const char* name;
        uint32_t shortBytes;
    };
    for (const Case& c : {Case{"refused", 0}, Case{"accepted short", 20}}) {
        SCOPED_TRACE(c.name);
        testrig::PluggedCamera camera;
        ASSERT_EQ(camera.Add(), STATUS_SUCCESS);
        camera.Camera().ClearTrace();
        camera.Camera().RejectCommands(true, hostusb::kUsbdStallPid, c.shortBytes);
        EXPECT_EQ(camera.Start(), STATUS_SUCCESS);
        const std::vector<std::string> commands = LinesStartingWith(camera.Camera().TraceLines(), "BULK_OUT 0 ");
        ASSERT_GE(commands.size(), 1 + ScriptWrites);
        EXPECT_EQ(commands[0], CommandLine({0x06}));
        ExpectScript(std::vector<std::string>(commands.begin() + 1, commands.begin() + 1 + ScriptWrites));
        // Nothing reached the sensor, yet the shadow records the script.
        for (uint32_t value : camera.Camera().SensorRegisterFile()) ASSERT_EQ(value, 0u);
        EXPECT_EQ(camera.Context()->sensorRegisters[28], 31);
        EXPECT_EQ(camera.Context()->sensorRegisters[391], 1252);
        camera.Camera().ClearFaults();
        camera.Remove();
    }
}

}  // namespace
