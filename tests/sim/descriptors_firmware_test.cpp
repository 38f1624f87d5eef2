#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "sim/simulated_camera.h"
#include "tests/sim/sim_test_util.h"

using namespace simtest;
using sim::SimulatedCamera;

namespace {

std::vector<uint8_t> GetDescriptor(SimulatedCamera& cam, uint8_t type, uint8_t index, uint16_t length, uint32_t* status) {
    std::vector<uint8_t> buf(length, 0xEE);
    hostusb::SetupPacket s{0x80, 6, static_cast<uint16_t>(type << 8 | index), 0, length};
    uint32_t moved = 0;
    *status = cam.ControlTransfer(s, buf.data(), &moved);
    buf.resize(moved);
    return buf;
}

TEST(SimDescriptors, DeviceDescriptorIs18BytesWithMadeUpIds) {
    SimulatedCamera cam;
    uint32_t st = 1;
    std::vector<uint8_t> d = GetDescriptor(cam, 1, 0, 18, &st);
    ASSERT_EQ(st, hostusb::kUsbdSuccess);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], 1);
    EXPECT_EQ(d[7], 64);                    // bMaxPacketSize0
    EXPECT_EQ(d[8] | d[9] << 8, 0xF055);    // idVendor
    EXPECT_EQ(d[10] | d[11] << 8, 0x5100);  // idProduct
    EXPECT_EQ(d[17], 1);                    // one configuration
}

TEST(SimDescriptors, ConfigurationHeaderThenWholeConfiguration) {
    SimulatedCamera cam;
    uint32_t st = 1;
    std::vector<uint8_t> h = GetDescriptor(cam, 2, 0, 9, &st);
    ASSERT_EQ(st, hostusb::kUsbdSuccess);
    ASSERT_EQ(h.size(), 9u);
    const uint16_t total = static_cast<uint16_t>(h[2] | h[3] << 8);
    EXPECT_EQ(total, 39);
    EXPECT_EQ(h[4], 1);  // bNumInterfaces
    EXPECT_EQ(h[5], 1);  // bConfigurationValue

    std::vector<uint8_t> c = GetDescriptor(cam, 2, 0, total, &st);
    ASSERT_EQ(c.size(), 39u);
    // Interface 0, alternate setting 0, three endpoints.
    EXPECT_EQ(c[9 + 1], 4);
    EXPECT_EQ(c[9 + 2], 0);
    EXPECT_EQ(c[9 + 3], 0);
    EXPECT_EQ(c[9 + 4], 3);
    const uint8_t expected[3][4] = {{0x01, 2, 64, 0}, {0x81, 2, 64, 0}, {0x82, 2, 0x00, 0x02}};
    for (int i = 0; i < 3; ++i) {
        const uint8_t* ep = &c[18 + 7 * i];
        EXPECT_EQ(ep[0], 7);
        EXPECT_EQ(ep[1], 5);
        EXPECT_EQ(ep[2], expected[i][0]) << "endpoint " << i;
        EXPECT_EQ(ep[3], expected[i][1]);
        EXPECT_EQ(ep[4], expected[i][2]);
        EXPECT_EQ(ep[5], expected[i][3]);
    }
    // A longer request still gets only the descriptor.
    std::vector<uint8_t> longer = GetDescriptor(cam, 2, 0, 255, &st);
    EXPECT_EQ(longer, c);
    // A shorter one the first bytes.
    std::vector<uint8_t> four = GetDescriptor(cam, 2, 0, 4, &st);
    EXPECT_EQ(four, std::vector<uint8_t>(c.begin(), c.begin() + 4));

    EXPECT_EQ(cam.TraceLines(), (std::vector<std::string>{"GET_DESCRIPTOR 2 0 9", "GET_DESCRIPTOR 2 0 39",
                                                          "GET_DESCRIPTOR 2 0 255", "GET_DESCRIPTOR 2 0 4"}));
}

TEST(SimDescriptors, UnknownDescriptorStalls) {
    SimulatedCamera cam;
    uint32_t st = 0;
    std::vector<uint8_t> d = GetDescriptor(cam, 3, 0, 4, &st);
    EXPECT_EQ(st, hostusb::kUsbdStallPid);
    EXPECT_TRUE(d.empty());
}

TEST(SimDescriptors, ConfigurationEnablesBulkTraffic) {
    SimulatedCamera cam;
    uint32_t moved = 0;
    EXPECT_EQ(SendCommand(cam, Packet({0x06}), &moved), hostusb::kUsbdRequestFailed);
    EXPECT_FALSE(cam.StartupReceived());
    EXPECT_EQ(cam.SetConfiguration(1), hostusb::kUsbdSuccess);
    EXPECT_TRUE(cam.Configured());
    EXPECT_EQ(SendCommand(cam, Packet({0x06}), &moved), hostusb::kUsbdSuccess);
    EXPECT_EQ(moved, 64u);
    EXPECT_TRUE(cam.StartupReceived());
    EXPECT_EQ(cam.SetConfiguration(0), hostusb::kUsbdSuccess);
    EXPECT_FALSE(cam.Configured());
    EXPECT_EQ(cam.SetConfiguration(7), hostusb::kUsbdRequestFailed);
    std::vector<std::string> t = cam.TraceLines();
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[1], "SELECT_CONFIGURATION 1");
    EXPECT_EQ(t[3], "DECONFIGURE");
    EXPECT_EQ(t[4], "SELECT_CONFIGURATION 7");
}

TEST(SimFirmware, SoundDownloadIsRecordedInOrder) {
    SimulatedCamera cam;
    EXPECT_EQ(Vendor(cam, 0xA0, 0x7F92, {1}), hostusb::kUsbdSuccess);
    EXPECT_EQ(Vendor(cam, 0xA0, 0xE600, {1}), hostusb::kUsbdSuccess);
    EXPECT_EQ(Vendor(cam, 0xA0, 0x0000, {0x02, 0x00, 0x06}), hostusb::kUsbdSuccess);
    EXPECT_EQ(Vendor(cam, 0xA0, 0x0403, {0xAB}), hostusb::kUsbdSuccess);
    EXPECT_EQ(Vendor(cam, 0xA0, 0x7F92, {0}), hostusb::kUsbdSuccess);
    EXPECT_EQ(Vendor(cam, 0xA0, 0xE600, {0}), hostusb::kUsbdSuccess);

    sim::FirmwareLoadCheck c = cam.FirmwareCheck();
    EXPECT_TRUE(c.Ok()) << (c.problems.empty() ? "" : c.problems[0]);
    EXPECT_EQ(c.imagesLoaded, 1);
    EXPECT_EQ(c.records, 2);
    EXPECT_EQ(c.bytes, 4u);
    ASSERT_EQ(c.images.size(), 1u);
    EXPECT_EQ(c.images[0].lowestAddress, 0x0000);
    EXPECT_EQ(c.images[0].highestAddress, 0x0403);
    ASSERT_EQ(c.images[0].records.size(), 2u);
    EXPECT_EQ(c.images[0].records[1].address, 0x0403);
    EXPECT_EQ(cam.ReadControllerMemory(0, 3), (std::vector<uint8_t>{0x02, 0x00, 0x06}));
    EXPECT_EQ(cam.TraceLines(),
              (std::vector<std::string>{"VENDOR A0 7F92 1 01", "VENDOR A0 E600 1 01", "VENDOR A0 0000 3 020006",
                                        "VENDOR A0 0403 1 AB", "VENDOR A0 7F92 1 00", "VENDOR A0 E600 1 00"}));
}

TEST(SimFirmware, WriteWhileCpuRunningIsAProblem) {
    SimulatedCamera cam;
    Vendor(cam, 0xA0, 0x0010, {0x55});
    Vendor(cam, 0xA0, 0x7F92, {1});
    Vendor(cam, 0xA0, 0xE600, {1});
    Vendor(cam, 0xA0, 0x7F92, {0});
    Vendor(cam, 0xA0, 0xE600, {0});
    sim::FirmwareLoadCheck c = cam.FirmwareCheck();
    EXPECT_FALSE(c.Ok());
    ASSERT_EQ(c.problems.size(), 1u);
    EXPECT_EQ(c.problems[0], "write to 0x0010 while CPU running");
    EXPECT_EQ(c.imagesLoaded, 0);
}

TEST(SimFirmware, HoldOrderAndMissingReleaseAreProblems) {
    SimulatedCamera cam;
    Vendor(cam, 0xA0, 0xE600, {1});
    Vendor(cam, 0xA0, 0x7F92, {1});
    Vendor(cam, 0xA0, 0x0000, {1, 2});
    sim::FirmwareLoadCheck c = cam.FirmwareCheck();
    EXPECT_TRUE(c.cpuHeld);
    ASSERT_EQ(c.problems.size(), 2u);
    EXPECT_EQ(c.problems[0], "CPU hold written to 0xE600 before 0x7F92");
    EXPECT_EQ(c.problems[1], "CPU left held after the download");
}

TEST(SimFirmware, ExternalWritesAndBadRequests) {
    SimulatedCamera cam;
    EXPECT_EQ(Vendor(cam, 0xA3, 0x2000, {9, 9}), hostusb::kUsbdSuccess);
    EXPECT_EQ(cam.ReadControllerMemory(0x2000, 2), (std::vector<uint8_t>{9, 9}));
    EXPECT_TRUE(cam.FirmwareCheck().problems.empty());
    EXPECT_EQ(Vendor(cam, 0xA3, 0x0100, {1}), hostusb::kUsbdSuccess);
    EXPECT_EQ(cam.FirmwareCheck().problems.back(), "external-memory write to internal address 0x0100");
    EXPECT_EQ(Vendor(cam, 0xA5, 0x0000, {1}), hostusb::kUsbdStallPid);
    EXPECT_EQ(Vendor(cam, 0xA0, 0xFFFF, {1, 2}), hostusb::kUsbdStallPid);
    EXPECT_EQ(cam.TraceLines().back(), "VENDOR A0 FFFF 2 0102");
}

TEST(SimFirmware, TwoImagesCountSeparately) {
    SimulatedCamera cam;
    for (int image = 0; image < 2; ++image) {
        Vendor(cam, 0xA0, 0x7F92, {1});
        Vendor(cam, 0xA0, 0xE600, {1});
        for (int r = 0; r < 3 + image; ++r) Vendor(cam, 0xA0, static_cast<uint16_t>(r * 16), std::vector<uint8_t>(16, 7));
        Vendor(cam, 0xA0, 0x7F92, {0});
        Vendor(cam, 0xA0, 0xE600, {0});
    }
    sim::FirmwareLoadCheck c = cam.FirmwareCheck();
    EXPECT_TRUE(c.Ok());
    EXPECT_EQ(c.imagesLoaded, 2);
    EXPECT_EQ(c.records, 7);
    EXPECT_EQ(c.bytes, 112u);
    ASSERT_EQ(c.images.size(), 2u);
    EXPECT_EQ(c.images[1].records.size(), 4u);
    EXPECT_EQ(c.images[1].highestAddress, 0x3F);
}

TEST(SimPort, StatusAndReset) {
    SimulatedCamera cam;
    uint32_t bits = 0;
    EXPECT_EQ(cam.GetPortStatus(&bits), hostusb::kUsbdSuccess);
    EXPECT_EQ(bits, hostusb::kPortConnected | hostusb::kPortEnabled);
    cam.DisablePort();
    cam.GetPortStatus(&bits);
    EXPECT_EQ(bits, hostusb::kPortConnected);
    uint32_t st = 0;
    hostusb::SetupPacket s{0x80, 6, 0x0100, 0, 18};
    uint8_t buf[18];
    uint32_t moved = 0;
    st = cam.ControlTransfer(s, buf, &moved);
    EXPECT_EQ(st, hostusb::kUsbdDevNotResponding);
    EXPECT_EQ(cam.ResetPort(), hostusb::kUsbdSuccess);
    cam.GetPortStatus(&bits);
    EXPECT_EQ(bits, hostusb::kPortConnected | hostusb::kPortEnabled);
    EXPECT_EQ(cam.ControlTransfer(s, buf, &moved), hostusb::kUsbdSuccess);
    std::vector<std::string> t = cam.TraceLines();
    EXPECT_EQ(t[0], "GET_PORT_STATUS");
    EXPECT_EQ(t[3], "RESET_PORT");
}

}  // namespace

namespace {

TEST(SimDescriptors, ADescriptorFileIsPresentedInPlaceOfTheCamerasOwn) {
    char path[] = "/tmp/sim-descriptors-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> bytes = sim::DeviceDescriptor();
    bytes[8] = 0x34;  // another vendor id
    const uint8_t configuration[] = {9, 2, 200, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0};  // announces more than it has
    bytes.insert(bytes.end(), std::begin(configuration), std::end(configuration));
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);

    sim::DescriptorSet set;
    std::string error;
    ASSERT_TRUE(sim::ReadDescriptorFile(path, &set, &error)) << error;
    unlink(path);
    EXPECT_EQ(set.device, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 18));
    EXPECT_EQ(set.configuration, std::vector<uint8_t>(std::begin(configuration), std::end(configuration)));

    SimulatedCamera cam;
    cam.SetDescriptors(set);
    uint32_t st = 1;
    EXPECT_EQ(GetDescriptor(cam, 1, 0, 18, &st), set.device);
    // Asked for the 200 bytes it announces, it sends the 13 it has.
    EXPECT_EQ(GetDescriptor(cam, 2, 0, 200, &st), set.configuration);
    EXPECT_EQ(st, hostusb::kUsbdSuccess);

    // A file shorter than a device descriptor is all the camera has.
    sim::DescriptorSet tiny{{18, 1, 0}, {}};
    cam.SetDescriptors(tiny);
    EXPECT_EQ(GetDescriptor(cam, 1, 0, 18, &st), tiny.device);
    GetDescriptor(cam, 2, 0, 9, &st);
    EXPECT_EQ(st, hostusb::kUsbdStallPid);

    EXPECT_FALSE(sim::ReadDescriptorFile("/nonexistent/descriptors", &set, &error));
    EXPECT_NE(error.find("cannot read '/nonexistent/descriptors'"), std::string::npos) << error;
}

}  // namespace
