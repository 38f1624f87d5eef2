#include "sim/descriptors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim {

namespace {

const EndpointInfo kEndpoints[kPipeCount] = {
    {kCommandEndpoint, 2, 64},
    {kReplyEndpoint, 2, 64},
    {kFrameEndpoint, 2, 512},
};

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

}  // namespace

const EndpointInfo& EndpointAt(int pipeIndex) { return kEndpoints[pipeIndex]; }

int PipeIndexOf(uint8_t endpoint) {
    for (int i = 0; i < kPipeCount; ++i) {
        if (kEndpoints[i].address == endpoint) return i;
    }
    return -1;
}

std::vector<uint8_t> DeviceDescriptor() {
    std::vector<uint8_t> d;
    d.push_back(18);                     // bLength
    d.push_back(kDescriptorTypeDevice);  // bDescriptorType
    PutU16(d, 0x0200);                   // bcdUSB 2.00
    d.push_back(0xFF);                   // bDeviceClass: vendor specific
    d.push_back(0xFF);                   // bDeviceSubClass
    d.push_back(0xFF);                   // bDeviceProtocol
    d.push_back(64);                     // bMaxPacketSize0
    PutU16(d, kVendorId);
    PutU16(d, kProductId);
    PutU16(d, kDeviceRelease);
    d.push_back(0);  // iManufacturer: no strings
    d.push_back(0);  // iProduct
    d.push_back(0);  // iSerialNumber
    d.push_back(1);  // bNumConfigurations
    return d;
}

std::vector<uint8_t> ConfigurationDescriptor() {
    const uint16_t total = 9 + 9 + 7 * kPipeCount;
    std::vector<uint8_t> d;
    d.push_back(9);
    d.push_back(kDescriptorTypeConfiguration);
    PutU16(d, total);  // wTotalLength
    d.push_back(1);    // bNumInterfaces
    d.push_back(kConfigurationValue);
    d.push_back(0);     // iConfiguration
    d.push_back(0x80);  // bmAttributes: bus powered
    d.push_back(250);   // bMaxPower: 500 mA

    d.push_back(9);
    d.push_back(kDescriptorTypeInterface);
    d.push_back(0);           // bInterfaceNumber
    d.push_back(0);           // bAlternateSetting
    d.push_back(kPipeCount);  // bNumEndpoints
    d.push_back(0xFF);        // bInterfaceClass: vendor specific
    d.push_back(0xFF);
    d.push_back(0xFF);
    d.push_back(0);  // iInterface

    for (const EndpointInfo& ep : kEndpoints) {
        d.push_back(7);
        d.push_back(kDescriptorTypeEndpoint);
        d.push_back(ep.address);
        d.push_back(ep.attributes);
        PutU16(d, ep.maxPacketSize);
        d.push_back(0);  // bInterval
    }
    return d;
}

bool ReadDescriptorFile(const std::string& path, DescriptorSet* set, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        *error = "'" + path + "' is empty";
        return false;
    }
    const size_t split = std::min<size_t>(bytes.size(), kDeviceDescriptorLength);
    set->device.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(split));
    set->configuration.assign(bytes.begin() + static_cast<std::ptrdiff_t>(split), bytes.end());
    return true;
}

}  // namespace sim
