// The controller's 64-byte command packets: decoding one into what it asks.
// Pure functions; the camera applies the result.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

constexpr uint32_t kCommandPacketSize = 64;

enum CommandCode : uint8_t {
    kCmdCapturePrepare = 0x02,  // Command02: start of a frame read
    kCmdCaptureGo = 0x03,       // Command03: all reads posted, send the frame
    kCmdWriteRegister = 0x04,
    kCmdDeviceStartup = 0x06,
    kCmdSetFrameSize = 0x09,
    kCmdCommand0A = 0x0A,
    kCmdCommand20 = 0x20,
    kCmdSetTriggerMode = 0x28,
    kCmdQueryStatus = 0x29,
};

struct ParsedCommand {
    uint8_t code = 0;
    bool known = false;
    // WriteSensorRegister
    uint8_t bitCount = 0;
    uint32_t word = 0;
    int reg = 0;
    uint32_t value = 0;
    // SetFrameSize
    uint32_t frameSize = 0;
    // SetTriggerMode, Command0A and Command20: their payload bytes
    uint8_t arg1 = 0;
    uint8_t arg2 = 0;
    // Bytes past the command's payload that are not zero (the host is
    // expected to clear them); kept for the log, not refused.
    bool strayBytes = false;
};

ParsedCommand ParseCommandPacket(const uint8_t packet[kCommandPacketSize]);

const char* CommandName(uint8_t code);

// One line for the packet log and the tool, e.g. "WriteSensorRegister 158 = 36".
std::string DescribeCommand(const ParsedCommand& c);

}  // namespace sim
