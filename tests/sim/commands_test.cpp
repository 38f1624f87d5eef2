#include <gtest/gtest.h>

#include <memory>

#include "sim/simulated_camera.h"
#include "tests/sim/sim_test_util.h"

using namespace simtest;
using sim::SimulatedCamera;

namespace {

class SimCommands : public ::testing::Test {
protected:
    void SetUp() override { Configure(cam); }

    // Sends QueryStatus and reads both reply packets.
    void QueryStatus(std::vector<uint8_t>* first, std::vector<uint8_t>* second) {
        ASSERT_EQ(SendCommand(cam, Packet({0x29})), hostusb::kUsbdSuccess);
        TestTransfer a(0x81, 64), b(0x81, 64);
        cam.SubmitBulk(&a);
        ASSERT_TRUE(a.WaitDone());
        cam.SubmitBulk(&b);
        ASSERT_TRUE(b.WaitDone());
        ASSERT_EQ(a.Transferred(), 64u);
        ASSERT_EQ(b.Transferred(), 64u);
        *first = a.data;
        *second = b.data;
    }

    SimulatedCamera cam;
};

TEST_F(SimCommands, RegisterPacketsFromTheCommandTable) {
    // 04 10 9E 90 00 00: register 158 = 36
    EXPECT_EQ(SendCommand(cam, Packet({0x04, 0x10, 0x9E, 0x90, 0x00, 0x00})), hostusb::kUsbdSuccess);
    EXPECT_EQ(cam.SensorRegister(158), 36u);
    // 04 10 07 0C 00 00: register 7 = 3
    SendCommand(cam, Packet({0x04, 0x10, 0x07, 0x0C, 0x00, 0x00}));
    EXPECT_EQ(cam.SensorRegister(7), 3u);
    // 04 20 87 91 13 00: register 391 = 1252
    SendCommand(cam, Packet({0x04, 0x20, 0x87, 0x91, 0x13, 0x00}));
    EXPECT_EQ(cam.SensorRegister(391), 1252u);
    // 04 20 00 2A 80 0C: register 512 = 0x03200A
    SendCommand(cam, Packet({0x04, 0x20, 0x00, 0x2A, 0x80, 0x0C}));
    EXPECT_EQ(cam.SensorRegister(512), 0x03200Au);
    // 26 bits: a 16-bit register
    SendCommand(cam, RegisterPacket(300, 0xBEEF));
    EXPECT_EQ(cam.SensorRegister(300), 0xBEEFu);

    std::vector<sim::PacketLogEntry> log = cam.PacketLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[2].command.reg, 391);
    EXPECT_EQ(log[2].command.value, 1252u);
    EXPECT_EQ(sim::DescribeCommand(log[0].command), "WriteSensorRegister 158 = 36 (bits 16)");
    EXPECT_EQ(cam.Counters().commandsByCode[0x04], 5u);
}

TEST_F(SimCommands, BitCountMasksTheValue) {
    // Word with value bits above the 6 the bit count allows: 0x7FF << 10.
    const uint32_t w = 40u | (0x7FFu << 10);
    SendCommand(cam, Packet({0x04, 16, static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8),
                             static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(w >> 24)}));
    EXPECT_EQ(cam.SensorRegister(40), 0x3Fu);
    // A bit count the sensor does not know changes nothing.
    SendCommand(cam, Packet({0x04, 20, 41, 0x04, 0, 0}));
    EXPECT_EQ(cam.SensorRegister(41), 0u);
}

TEST_F(SimCommands, ExposureAndGainFromTheirRegisterPairs) {
    SendCommand(cam, RegisterPacket(158, 36));
    SendCommand(cam, RegisterPacket(159, 19));
    EXPECT_EQ(cam.Exposure(), 1252u);
    SendCommand(cam, RegisterPacket(6, 63));
    SendCommand(cam, RegisterPacket(7, 15));
    EXPECT_EQ(cam.GlobalGain(), 1023u);
    FreshCameraSettings(cam);
    EXPECT_EQ(cam.Exposure(), 2u);
    EXPECT_EQ(cam.GlobalGain(), 100u);
}

TEST_F(SimCommands, EveryOtherCommandCode) {
    SendCommand(cam, Packet({0x06}));
    EXPECT_TRUE(cam.StartupReceived());
    SendCommand(cam, Packet({0x0A, 0x00}));
    SendCommand(cam, Packet({0x09, 0x00, 0x3C, 0x0E, 0x00}));  // 932864
    EXPECT_EQ(cam.RawFrameSize(), 932864u);
    SendCommand(cam, Packet({0x20, 0x03, 0x00}));
    SendCommand(cam, Packet({0x28, 0x01}));
    EXPECT_TRUE(cam.ControllerTriggerMode());
    SendCommand(cam, Packet({0x28, 0x00}));
    EXPECT_FALSE(cam.ControllerTriggerMode());
    SendCommand(cam, Packet({0x02}));
    SendCommand(cam, Packet({0x77}));
    std::vector<sim::PacketLogEntry> log = cam.PacketLog();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(sim::DescribeCommand(log[0].command), "DeviceStartup");
    EXPECT_EQ(sim::DescribeCommand(log[1].command), "Command0A 00");
    EXPECT_EQ(sim::DescribeCommand(log[2].command), "SetFrameSize 932864");
    EXPECT_EQ(sim::DescribeCommand(log[3].command), "Command20 03 00");
    EXPECT_EQ(sim::DescribeCommand(log[4].command), "SetTriggerMode on");
    EXPECT_EQ(sim::DescribeCommand(log[6].command), "Command02");
    EXPECT_EQ(sim::DescribeCommand(log[7].command), "Unknown 77");
    EXPECT_EQ(log[7].sequence, 8u);
    EXPECT_EQ(cam.Counters().commandsReceived, 8u);
}

TEST_F(SimCommands, CommandPacketTraceLine) {
    cam.ClearTrace();
    SendCommand(cam, Packet({0x04, 0x10, 0x9E, 0x90, 0x00, 0x00}));
    ASSERT_EQ(cam.TraceLines().size(), 1u);
    EXPECT_EQ(cam.TraceLines()[0], "BULK_OUT 0 64 04109E900000" + std::string(116, '0'));
}

TEST_F(SimCommands, QueryStatusFreeRunning) {
    std::vector<uint8_t> first, second;
    QueryStatus(&first, &second);
    EXPECT_EQ(first[0], 0x29);
    EXPECT_EQ(second[0] & 0x10, 0);
    EXPECT_EQ(cam.Counters().replyPacketsSent, 2u);
}

TEST_F(SimCommands, TriggerModeNeedsCommandAndRegisters) {
    // What the host sends to switch trigger mode on from the script's
    // register values (32 = 11, 33 = 0): 0x28 01, then 32 = 11, 33 = 12.
    SendCommand(cam, RegisterPacket(32, 11));
    SendCommand(cam, Packet({0x28, 0x01}));
    EXPECT_FALSE(cam.TriggerMode());  // register 33 still says neither
    SendCommand(cam, RegisterPacket(32, 11));
    SendCommand(cam, RegisterPacket(33, 12));
    EXPECT_TRUE(cam.TriggerMode());
    std::vector<uint8_t> first, second;
    QueryStatus(&first, &second);
    EXPECT_EQ(second[0] & 0x10, 0x10);

    // And off again: 0x28 00, 32 = 27 (bit 4 set), 33 = 1.
    SendCommand(cam, Packet({0x28, 0x00}));
    SendCommand(cam, RegisterPacket(32, 27));
    SendCommand(cam, RegisterPacket(33, 1));
    EXPECT_FALSE(cam.TriggerMode());
    QueryStatus(&first, &second);
    EXPECT_EQ(second[0] & 0x10, 0);

    // Registers alone do not make trigger mode.
    SendCommand(cam, RegisterPacket(32, 11));
    SendCommand(cam, RegisterPacket(33, 12));
    EXPECT_FALSE(cam.TriggerMode());
    // Nor the command with register 32 bit 4 set.
    SendCommand(cam, Packet({0x28, 0x01}));
    SendCommand(cam, RegisterPacket(32, 27));
    EXPECT_FALSE(cam.TriggerMode());
}

TEST_F(SimCommands, ReplyReadBeforeQueryWaitsForIt) {
    TestTransfer a(0x81, 64);
    cam.SubmitBulk(&a);
    EXPECT_EQ(a.Completions(), 0);  // nothing to say: the camera NAKs
    EXPECT_EQ(cam.PendingTransfers(0x81), 1u);
    SendCommand(cam, Packet({0x29}));
    ASSERT_TRUE(a.WaitDone());
    EXPECT_EQ(a.Status(), hostusb::kUsbdSuccess);
    EXPECT_EQ(a.data[0], 0x29);
    TestTransfer b(0x81, 64);
    cam.SubmitBulk(&b);
    ASSERT_TRUE(b.WaitDone());
    EXPECT_EQ(b.Transferred(), 64u);
    // Third read: nothing queued, pending until cancelled.
    TestTransfer c(0x81, 64);
    cam.SubmitBulk(&c);
    EXPECT_EQ(c.Completions(), 0);
    cam.CancelBulk(&c);
    EXPECT_EQ(c.Completions(), 1);
    EXPECT_EQ(c.Status(), hostusb::kUsbdCanceled);
    cam.CancelBulk(&c);  // already completed: nothing happens
    EXPECT_EQ(c.Completions(), 1);
    std::vector<std::string> t = cam.TraceLines();
    ASSERT_GE(t.size(), 3u);
    EXPECT_EQ(t[t.size() - 3], "BULK_IN 1 64 64");
    EXPECT_EQ(t[t.size() - 2], "BULK_IN 1 64 64");
    EXPECT_EQ(t[t.size() - 1], "BULK_IN 1 64 0");
}

}  // namespace
