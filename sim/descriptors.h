// The camera's USB descriptors: what GET_DESCRIPTOR answers and what the
// configuration offers. One configuration, one interface (number 0, alternate
// setting 0) with three bulk endpoints in the order the driver indexes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Identity of the simulated camera. These ids are made up on purpose
// (0xF055 reads "FOSS"): the simulator must never pose as a real product.
constexpr uint16_t kVendorId = 0xF055;
constexpr uint16_t kProductId = 0x5100;
constexpr uint16_t kDeviceRelease = 0x0100;

constexpr uint8_t kDescriptorTypeDevice = 1;
constexpr uint8_t kDescriptorTypeConfiguration = 2;
constexpr uint8_t kDescriptorTypeInterface = 4;
constexpr uint8_t kDescriptorTypeEndpoint = 5;

constexpr uint8_t kConfigurationValue = 1;
constexpr size_t kDeviceDescriptorLength = 18;

// Endpoints in interface order; the position is the driver's pipe index.
constexpr uint8_t kCommandEndpoint = 0x01;  // pipe 0, bulk OUT, 64-byte packets
constexpr uint8_t kReplyEndpoint = 0x81;    // pipe 1, bulk IN, 64-byte packets
constexpr uint8_t kFrameEndpoint = 0x82;    // pipe 2, bulk IN, 512-byte packets
constexpr int kPipeCount = 3;

struct EndpointInfo {
    uint8_t address;
    uint8_t attributes;  // 2 = bulk
    uint16_t maxPacketSize;
};

const EndpointInfo& EndpointAt(int pipeIndex);

// Pipe index of an endpoint address, or -1 when the interface has no such
// endpoint.
int PipeIndexOf(uint8_t endpoint);

std::vector<uint8_t> DeviceDescriptor();         // 18 bytes
std::vector<uint8_t> ConfigurationDescriptor();  // wTotalLength bytes

// The descriptors a camera presents in place of its own, read from a file
// that holds the device descriptor's 18 bytes and then the configuration
// descriptor. A file of fewer than 18 bytes is all device descriptor (and
// the configuration is then empty: the camera stalls its request). The bytes
// are taken as they are, unchecked: a file stands for a device that may lie.
struct DescriptorSet {
    std::vector<uint8_t> device;
    std::vector<uint8_t> configuration;
};
bool ReadDescriptorFile(const std::string& path, DescriptorSet* set, std::string* error);

}  // namespace sim
