// WriteSensorRegister, SetExposure and SetGlobalGain, read back from the bytes
// the simulated camera received and the register file it decoded from them.
#include "driver/camera/sensor_registers.h"
#include "tests/camera/camera_test_support.h"

using cameratest::RegisterLine;
using cameratest::StartedCamera;
using testrig::CommandLine;

namespace {

using SensorRegisterTest = StartedCamera;

TEST_F(SensorRegisterTest, PacketCarriesBitCountAndWordForEachRegisterWidth) {
    struct Case {
        ULONG reg;
        LONG value;
        std::string line;
    };
    const Case cases[] = {
        {158, 36, RegisterLine(0x10, 0x9E, 0x90, 0x00, 0x00)},
        {7, 3, RegisterLine(0x10, 0x07, 0x0C, 0x00, 0x00)},
        {391, 1252, RegisterLine(0x20, 0x87, 0x91, 0x13, 0x00)},
        {512, 0x03200A, RegisterLine(0x20, 0x00, 0x2A, 0x80, 0x0C)},
        // A 16-bit register: 300 = 0x12C, word 0x4B12C (number 300 = 0x12C).
        {300, 0x12C, RegisterLine(0x1A, 0x2C, 0xB1, 0x04, 0x00)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reg);
        rig.Camera().ClearTrace();
        ASSERT_TRUE(WriteSensorRegister(context, c.reg, c.value));
        // Exactly one packet, 64 bytes, everything past byte 5 zero.
        EXPECT_EQ(Commands(), std::vector<std::string>{c.line});
        EXPECT_EQ(context->sensorRegisters[c.reg], c.value);
        EXPECT_EQ(rig.Camera().SensorRegister(static_cast<int>(c.reg)), static_cast<uint32_t>(c.value));
    }
}

TEST_F(SensorRegisterTest, ValueWiderThanItsRegisterIsMaskedInThePacketAndKeptWholeInTheShadow) {
    // Six bits: 100 = 0x64 goes out as 36.
    ASSERT_TRUE(WriteSensorRegister(context, 40, 100));
    EXPECT_EQ(Commands().back(), RegisterLine(0x10, 0x28, 0x90, 0x00, 0x00));
    EXPECT_EQ(context->sensorRegisters[40], 100);
    EXPECT_EQ(rig.Camera().SensorRegister(40), 36u);

    // Sixteen bits: 0x12345 goes out as 0x2345.
    ASSERT_TRUE(WriteSensorRegister(context, 256, 0x12345));
    EXPECT_EQ(rig.Camera().SensorRegister(256), 0x2345u);
    EXPECT_EQ(context->sensorRegisters[256], 0x12345);

    // Twenty-two bits, and a negative value: all 22 bits set.
    ASSERT_TRUE(WriteSensorRegister(context, 1023, -1));
    EXPECT_EQ(Commands().back(), RegisterLine(0x20, 0xFF, 0xFF, 0xFF, 0xFF));
    EXPECT_EQ(rig.Camera().SensorRegister(1023), 0x3FFFFFu);
    EXPECT_EQ(context->sensorRegisters[1023], -1);
}

TEST_F(SensorRegisterTest, RegisterNumberBeyondTenBitsReachesTheSameRegisterInPacketAndShadow) {
    // 1024 + 5: the packet has room for ten bits of number only.
    ASSERT_TRUE(WriteSensorRegister(context, 1029, 7));
    EXPECT_EQ(Commands().back(), RegisterLine(0x10, 0x05, 0x1C, 0x00, 0x00));
    EXPECT_EQ(context->sensorRegisters[5], 7);
    EXPECT_EQ(rig.Camera().SensorRegister(5), 7u);
}

TEST_F(SensorRegisterTest, RefusedWriteStillUpdatesTheShadowAndReportsFailure) {
    const uint32_t before = rig.Camera().SensorRegister(158);
    ASSERT_NE(before, 50u);
    rig.Camera().RejectCommands(true);
    EXPECT_FALSE(WriteSensorRegister(context, 158, 50));
    EXPECT_EQ(context->sensorRegisters[158], 50);
    EXPECT_EQ(rig.Camera().SensorRegister(158), before);

    // A packet accepted only in part counts as failed too.
    rig.Camera().RejectCommands(true, 0, 32);
    EXPECT_FALSE(WriteSensorRegister(context, 159, 2));
    EXPECT_EQ(context->sensorRegisters[159], 2);
}

TEST_F(SensorRegisterTest, RegisterCommandIsClearedBeforeEachPacket) {
    // A wide packet left in the buffer must not leak into a narrow one.
    ASSERT_TRUE(WriteSensorRegister(context, 1000, 0x3FFFFF));
    std::memset(context->registerCommand + 6, 0xAA, 58);
    ASSERT_TRUE(WriteSensorRegister(context, 2, 1));
    EXPECT_EQ(Commands().back(), RegisterLine(0x10, 0x02, 0x04, 0x00, 0x00));
}

TEST_F(SensorRegisterTest, ExposureIsClampedAsUnsignedAndSplitOverTwoRegisters) {
    struct Case {
        LONG requested;
        LONG stored;
        int low;
        int high;
    };
    const Case cases[] = {
        {0, 2, 2, 0}, {1, 2, 2, 0}, {2, 2, 2, 0}, {100, 100, 36, 1},
        {1252, 1252, 36, 19}, {1253, 1252, 36, 19}, {5000, 1252, 36, 19}, {-1, 1252, 36, 19},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        rig.Camera().ClearTrace();
        ASSERT_TRUE(SetExposure(context, c.requested));
        EXPECT_EQ(context->settings.exposure, c.stored);
        const std::vector<std::string> expected = {
            RegisterLine(0x10, 0x9E, (c.low << 2) & 0xFF, c.low >> 6, 0),
            RegisterLine(0x10, 0x9F, (c.high << 2) & 0xFF, c.high >> 6, 0),
        };
        EXPECT_EQ(Commands(), expected);
        EXPECT_EQ(rig.Camera().Exposure(), static_cast<uint32_t>(c.stored));
    }
}

TEST_F(SensorRegisterTest, GlobalGainSendsTenBitsAndKeepsTheWholeValue) {
    ASSERT_TRUE(SetGlobalGain(context, 1023));
    EXPECT_EQ(Commands(), (std::vector<std::string>{RegisterLine(0x10, 0x06, 0xFC, 0x00, 0x00),
                                                    RegisterLine(0x10, 0x07, 0x3C, 0x00, 0x00)}));
    EXPECT_EQ(context->sensorRegisters[6], 63);
    EXPECT_EQ(context->sensorRegisters[7], 15);
    EXPECT_EQ(context->settings.globalGain, 1023);
    EXPECT_EQ(rig.Camera().GlobalGain(), 1023u);

    rig.Camera().ClearTrace();
    ASSERT_TRUE(SetGlobalGain(context, 1024));
    EXPECT_EQ(Commands(), (std::vector<std::string>{RegisterLine(0x10, 0x06, 0x00, 0x00, 0x00),
                                                    RegisterLine(0x10, 0x07, 0x00, 0x00, 0x00)}));
    EXPECT_EQ(context->settings.globalGain, 1024);
    EXPECT_EQ(rig.Camera().GlobalGain(), 0u);

    ASSERT_TRUE(SetGlobalGain(context, 192));
    EXPECT_EQ(context->sensorRegisters[6], 0);
    EXPECT_EQ(context->sensorRegisters[7], 3);
}

TEST_F(SensorRegisterTest, FailedFirstWriteStopsAndLeavesTheFieldUnchanged) {
    ASSERT_TRUE(SetExposure(context, 100));
    ASSERT_TRUE(SetGlobalGain(context, 200));
    rig.Camera().RejectCommands(true);
    rig.Camera().ClearTrace();

    EXPECT_FALSE(SetExposure(context, 700));
    EXPECT_EQ(context->settings.exposure, 100);
    EXPECT_FALSE(SetGlobalGain(context, 500));
    EXPECT_EQ(context->settings.globalGain, 200);
    // One attempt each: the second register is not tried after the first failed.
    EXPECT_EQ(Commands(), (std::vector<std::string>{RegisterLine(0x10, 0x9E, 0xF0, 0x00, 0x00),
                                                    RegisterLine(0x10, 0x06, 0xD0, 0x00, 0x00)}));
    EXPECT_EQ(rig.Camera().Exposure(), 100u);
}

TEST_F(SensorRegisterTest, FailedSecondWriteLeavesTheFirstRegisterChangedButNotTheField) {
    ASSERT_TRUE(SetExposure(context, 100));
    rig.Camera().UnplugAfterRequests(1);
    EXPECT_FALSE(SetExposure(context, 1252));
    EXPECT_EQ(context->settings.exposure, 100);
    EXPECT_EQ(context->sensorRegisters[158], 36);  // 1252 & 0x3F
    EXPECT_EQ(context->sensorRegisters[159], 19);  // recorded though refused
    EXPECT_EQ(rig.Camera().SensorRegister(158), 36u);
}

}  // namespace
