// A device's descriptors are checked before anything walks them: every
// malformed configuration fails the start with STATUS_DEVICE_DATA_ERROR,
// keeps nothing, and is never read past the bytes that arrived (the ASan
// build holds each descriptor in a block of exactly its size).
#include <gtest/gtest.h>

#include <functional>

#include "sim/descriptors.h"
#include "tests/support/plugged_camera.h"

using testrig::DriverTest;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kInterface = 9;   // offset of the interface descriptor
constexpr size_t kEndpoint0 = 18;  // offsets of the three endpoints: 18, 25, 32

void SetTotal(Bytes& c) {
    c[2] = static_cast<uint8_t>(c.size() & 0xFF);
    c[3] = static_cast<uint8_t>(c.size() >> 8);
}

struct Case {
    const char* name;
    std::function<void(sim::DescriptorSet&)> spoil;
};

const Case kMalformed[] = {
    {"device descriptor cut short", [](sim::DescriptorSet& d) { d.device.resize(10); }},
    {"device descriptor of the wrong type", [](sim::DescriptorSet& d) { d.device[1] = 2; }},
    {"header of the wrong type", [](sim::DescriptorSet& d) { d.configuration[1] = 4; }},
    {"wTotalLength below the header", [](sim::DescriptorSet& d) { d.configuration[2] = 5; }},
    {"configuration cut short", [](sim::DescriptorSet& d) { d.configuration.resize(30); }},
    {"wTotalLength past the end", [](sim::DescriptorSet& d) { d.configuration[2] = 200; }},
    {"zero-length descriptor", [](sim::DescriptorSet& d) { d.configuration[kEndpoint0 + 7] = 0; }},
    {"descriptor running past wTotalLength", [](sim::DescriptorSet& d) { d.configuration[kEndpoint0 + 14] = 20; }},
    {"no interface", [](sim::DescriptorSet& d) {
         d.configuration.resize(9);
         d.configuration[4] = 0;
         SetTotal(d.configuration);
     }},
    {"interfaces announced but none present", [](sim::DescriptorSet& d) {
         d.configuration.resize(9);
         SetTotal(d.configuration);
     }},
    {"too few pipes", [](sim::DescriptorSet& d) {
         d.configuration.resize(kEndpoint0 + 14);
         d.configuration[kInterface + 4] = 2;
         SetTotal(d.configuration);
     }},
    {"endpoints before their interface", [](sim::DescriptorSet& d) {
         Bytes& c = d.configuration;
         Bytes interface(c.begin() + kInterface, c.begin() + kEndpoint0);
         c.erase(c.begin() + kInterface, c.begin() + kEndpoint0);
         c.insert(c.end(), interface.begin(), interface.end());
     }},
    {"more endpoints than bNumEndpoints", [](sim::DescriptorSet& d) { d.configuration[kInterface + 4] = 2; }},
    {"an endpoint address twice", [](sim::DescriptorSet& d) { d.configuration[kEndpoint0 + 7 + 2] = 0x01; }},
    {"endpoint number 0", [](sim::DescriptorSet& d) { d.configuration[kEndpoint0 + 2] = 0x00; }},
    {"reserved address bits", [](sim::DescriptorSet& d) { d.configuration[kEndpoint0 + 2] = 0x11; }},
    {"interface numbered past bNumInterfaces", [](sim::DescriptorSet& d) { d.configuration[kInterface + 2] = 1; }},
    {"interface descriptor of 7 bytes", [](sim::DescriptorSet& d) {
         Bytes& c = d.configuration;
         c[kInterface] = 7;
         c.erase(c.begin() + kInterface + 7, c.begin() + kEndpoint0);
         SetTotal(c);
     }},
    {"a second configuration descriptor inside", [](sim::DescriptorSet& d) {
         Bytes header(d.configuration.begin(), d.configuration.begin() + 9);
         d.configuration.insert(d.configuration.end(), header.begin(), header.end());
         SetTotal(d.configuration);
     }},
    {"command pipe pointing in", [](sim::DescriptorSet& d) { d.configuration[kEndpoint0 + 2] = 0x83; }},
    {"isochronous frame pipe", [](sim::DescriptorSet& d) { d.configuration[kEndpoint0 + 14 + 3] = 1; }},
    // Selecting a configuration whose value is 0 puts the device back in its
    // address state: the start found by the descriptors fuzz target
    // "succeeded" with the camera unconfigured and every command failing.
    {"configuration value 0", [](sim::DescriptorSet& d) { d.configuration[5] = 0; }},
};

sim::DescriptorSet CamerasOwn() { return sim::DescriptorSet{sim::DeviceDescriptor(), sim::ConfigurationDescriptor()}; }

TEST_F(DriverTest, EveryMalformedDescriptorFailsTheStartAsADataErrorAndKeepsNothing) {
    for (const Case& c : kMalformed) {
        testrig::PluggedCamera camera;
        sim::DescriptorSet descriptors = CamerasOwn();
        c.spoil(descriptors);
        camera.Camera().SetDescriptors(descriptors);
        ASSERT_EQ(camera.Add(), STATUS_SUCCESS) << c.name;
        EXPECT_EQ(camera.Start(), STATUS_DEVICE_DATA_ERROR) << c.name;
        EXPECT_EQ(camera.Context()->link.interfaceInfo, nullptr) << c.name;
        EXPECT_EQ(camera.Context()->link.configurationDescriptor, nullptr) << c.name;
        EXPECT_FALSE(camera.Camera().Configured()) << c.name;
        EXPECT_EQ(hostk::PoolTagStats('QLNC').liveBlocks, 0u) << c.name << "\n" << hostk::PoolLeakReport();
        camera.Remove();
    }
}

TEST_F(DriverTest, SoundDescriptorsWithExtrasStillStart) {
    struct Sound {
        const char* name;
        std::function<void(Bytes&)> change;
    } cases[] = {
        {"a vendor descriptor between the endpoints",
         [](Bytes& c) {
             const uint8_t vendor[] = {5, 0x24, 1, 2, 3};
             c.insert(c.begin() + kEndpoint0 + 7, std::begin(vendor), std::end(vendor));
             SetTotal(c);
         }},
        {"a second alternate setting with no endpoints",
         [](Bytes& c) {
             const uint8_t alternate[] = {9, 4, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0};
             c.insert(c.end(), std::begin(alternate), std::end(alternate));
             SetTotal(c);
         }},
        {"interrupt reply pipe", [](Bytes& c) { c[kEndpoint0 + 7 + 3] = 3; }},
    };
    for (const Sound& s : cases) {
        testrig::PluggedCamera camera;
        sim::DescriptorSet descriptors = CamerasOwn();
        s.change(descriptors.configuration);
        camera.Camera().SetDescriptors(descriptors);
        ASSERT_EQ(camera.Add(), STATUS_SUCCESS) << s.name;
        EXPECT_EQ(camera.Start(), STATUS_SUCCESS) << s.name;
        ASSERT_NE(camera.Context()->link.interfaceInfo, nullptr) << s.name;
        EXPECT_EQ(camera.Context()->link.interfaceInfo->NumberOfPipes, 3u) << s.name;
        camera.Remove();
    }
}

}  // namespace
