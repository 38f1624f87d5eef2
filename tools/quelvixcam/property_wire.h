// The property bridge's wire format, which `quelvixcam serve` speaks on its
// TCP port. Every integer is little-endian.
//
//   request   "QKSP"  u32 flags  GUID set (16 bytes)  u32 id  u32 R  u32 D
//             then R bytes of property request and D bytes of property data
//   response  "QKSR"  i32 NTSTATUS  u32 B  then B bytes (B <= D)
//
// The set GUID travels as it lies in a Windows program's memory: Data1 (u32),
// Data2 and Data3 (u16 each), then the eight bytes of Data4. R and D are at
// most 4096 each; a get sends its D bytes too, since the driver sees what
// the caller's buffer held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/wdk.h"

namespace bridge {

constexpr uint32_t kMaxPartBytes = 4096;
constexpr size_t kRequestHeaderBytes = 36;  // magic, flags, set, id, R, D
constexpr size_t kResponseHeaderBytes = 12;  // magic, status, B

struct WireRequest {
    ULONG flags = 0;
    GUID set{};
    ULONG id = 0;
    std::vector<uint8_t> request;  // R bytes
    std::vector<uint8_t> data;     // D bytes
};

// Reads the fixed part of a request: fills flags, set and id, and the sizes
// of the two parts that follow. False with the reason when the magic is
// wrong or a part is larger than the format allows.
bool ParseRequestHeader(const uint8_t* header, WireRequest* request, uint32_t* requestBytes, uint32_t* dataBytes,
                        std::string* error);

// The whole request message (for clients and tests).
std::vector<uint8_t> EncodeRequest(const WireRequest& request);

// The response message: `returned` bytes of `data` follow the status.
std::vector<uint8_t> EncodeResponse(NTSTATUS status, const uint8_t* data, uint32_t returned);

}  // namespace bridge
