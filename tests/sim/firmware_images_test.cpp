// The build's firmware images, downloaded the way the host does it, pass the
// camera's check with the counts and address ranges the images are known by.
#include <gtest/gtest.h>

#include "driver/usb/firmware_record.h"
#include "sim/simulated_camera.h"
#include "tests/sim/sim_test_util.h"

using namespace simtest;

namespace {

void Download(sim::SimulatedCamera& cam, const FirmwareRecord* image) {
    for (const FirmwareRecord* r = image; r->type == FirmwareRecordData; ++r) {
        if (r->address > 0x1B3F) Vendor(cam, 0xA3, r->address, std::vector<uint8_t>(r->data, r->data + r->byteCount));
    }
    Vendor(cam, 0xA0, 0x7F92, {1});
    Vendor(cam, 0xA0, 0xE600, {1});
    for (const FirmwareRecord* r = image; r->type == FirmwareRecordData; ++r) {
        if (r->address <= 0x1B3F) Vendor(cam, 0xA0, r->address, std::vector<uint8_t>(r->data, r->data + r->byteCount));
    }
    Vendor(cam, 0xA0, 0x7F92, {0});
    Vendor(cam, 0xA0, 0xE600, {0});
}

TEST(SimFirmwareImages, BothImagesLoadCleanly) {
    sim::SimulatedCamera cam;
    Download(cam, FirmwareImage1);
    Download(cam, FirmwareImage2);
    sim::FirmwareLoadCheck c = cam.FirmwareCheck();
    EXPECT_TRUE(c.Ok()) << (c.problems.empty() ? "" : c.problems[0]);
    EXPECT_EQ(c.imagesLoaded, 2);
    ASSERT_EQ(c.images.size(), 2u);
    EXPECT_EQ(c.images[0].records.size(), 58u);
    EXPECT_EQ(c.images[0].bytes, 784u);
    EXPECT_EQ(c.images[0].lowestAddress, 0x0000);
    EXPECT_EQ(c.images[0].highestAddress, 0x0403);
    EXPECT_EQ(c.images[1].records.size(), 312u);
    EXPECT_EQ(c.images[1].bytes, 3965u);
    EXPECT_EQ(c.images[1].lowestAddress, 0x0000);
    EXPECT_EQ(c.images[1].highestAddress, 0x0FED);
    // Records arrive in table order.
    for (size_t i = 0; i < c.images[1].records.size(); ++i) {
        ASSERT_EQ(c.images[1].records[i].address, FirmwareImage2[i].address) << i;
    }
    // The second image is what the controller memory holds at the end.
    const FirmwareRecord& last = FirmwareImage2[311];
    EXPECT_EQ(cam.ReadControllerMemory(last.address, last.byteCount),
              std::vector<uint8_t>(last.data, last.data + last.byteCount));
}

}  // namespace
