#include "tools/quelvixcam/property_wire.h"

#include <cstring>

namespace bridge {

namespace {

const char kRequestMagic[4] = {'Q', 'K', 'S', 'P'};
const char kResponseMagic[4] = {'Q', 'K', 'S', 'R'};

// Byte by byte, so the format does not depend on the host's byte order.
uint32_t ReadU32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

void AppendU32(std::vector<uint8_t>* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

void AppendU16(std::vector<uint8_t>* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

GUID ReadGuid(const uint8_t* at) {
    GUID guid;
    guid.Data1 = ReadU32(at);
    guid.Data2 = static_cast<uint16_t>(at[4] | at[5] << 8);
    guid.Data3 = static_cast<uint16_t>(at[6] | at[7] << 8);
    std::memcpy(guid.Data4, at + 8, 8);
    return guid;
}

void AppendGuid(std::vector<uint8_t>* out, const GUID& guid) {
    AppendU32(out, guid.Data1);
    AppendU16(out, guid.Data2);
    AppendU16(out, guid.Data3);
    out->insert(out->end(), guid.Data4, guid.Data4 + 8);
}

}  // namespace

bool ParseRequestHeader(const uint8_t* header, WireRequest* request, uint32_t* requestBytes, uint32_t* dataBytes,
                        std::string* error) {
    if (std::memcmp(header, kRequestMagic, sizeof kRequestMagic) != 0) {
        *error = "a message does not start with QKSP";
        return false;
    }
    request->flags = ReadU32(header + 4);
    request->set = ReadGuid(header + 8);
    request->id = ReadU32(header + 24);
    *requestBytes = ReadU32(header + 28);
    *dataBytes = ReadU32(header + 32);
    if (*requestBytes > kMaxPartBytes || *dataBytes > kMaxPartBytes) {
        *error = "a message's request (" + std::to_string(*requestBytes) + " bytes) or data (" +
                 std::to_string(*dataBytes) + " bytes) is over " + std::to_string(kMaxPartBytes) + " bytes";
        return false;
    }
    return true;
}

std::vector<uint8_t> EncodeRequest(const WireRequest& request) {
    std::vector<uint8_t> out(kRequestMagic, kRequestMagic + sizeof kRequestMagic);
    AppendU32(&out, request.flags);
    AppendGuid(&out, request.set);
    AppendU32(&out, request.id);
    AppendU32(&out, static_cast<uint32_t>(request.request.size()));
    AppendU32(&out, static_cast<uint32_t>(request.data.size()));
    out.insert(out.end(), request.request.begin(), request.request.end());
    out.insert(out.end(), request.data.begin(), request.data.end());
    return out;
}

std::vector<uint8_t> EncodeResponse(NTSTATUS status, const uint8_t* data, uint32_t returned) {
    std::vector<uint8_t> out(kResponseMagic, kResponseMagic + sizeof kResponseMagic);
    AppendU32(&out, static_cast<uint32_t>(status));
    AppendU32(&out, returned);
    if (returned) out.insert(out.end(), data, data + returned);
    return out;
}

}  // namespace bridge
