#include "sim/command_packet.h"

#include <cstdio>

namespace sim {

namespace {

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Number of leading bytes (code included) each command uses.
int PayloadEnd(uint8_t code) {
    switch (code) {
    case kCmdWriteRegister: return 6;
    case kCmdSetFrameSize: return 5;
    case kCmdCommand0A: return 2;
    case kCmdCommand20: return 3;
    case kCmdSetTriggerMode: return 2;
    default: return 1;
    }
}

}  // namespace

const char* CommandName(uint8_t code) {
    switch (code) {
    case kCmdCapturePrepare: return "Command02";
    case kCmdCaptureGo: return "Command03";
    case kCmdWriteRegister: return "WriteSensorRegister";
    case kCmdDeviceStartup: return "DeviceStartup";
    case kCmdSetFrameSize: return "SetFrameSize";
    case kCmdCommand0A: return "Command0A";
    case kCmdCommand20: return "Command20";
    case kCmdSetTriggerMode: return "SetTriggerMode";
    case kCmdQueryStatus: return "QueryStatus";
    default: return "Unknown";
    }
}

ParsedCommand ParseCommandPacket(const uint8_t packet[kCommandPacketSize]) {
    ParsedCommand c;
    c.code = packet[0];
    switch (c.code) {
    case kCmdCapturePrepare:
    case kCmdCaptureGo:
    case kCmdDeviceStartup:
    case kCmdQueryStatus:
        c.known = true;
        break;
    case kCmdWriteRegister:
        c.known = true;
        c.bitCount = packet[1];
        c.word = LoadLe32(packet + 2);
        c.reg = static_cast<int>(c.word & 0x3FF);
        if (c.bitCount > 10 && c.bitCount <= 32) {
            const int dataBits = c.bitCount - 10;
            c.value = dataBits >= 32 ? (c.word >> 10) : (c.word >> 10) & ((1u << dataBits) - 1u);
        }
        break;
    case kCmdSetFrameSize:
        c.known = true;
        c.frameSize = LoadLe32(packet + 1);
        break;
    case kCmdCommand0A:
    case kCmdSetTriggerMode:
        c.known = true;
        c.arg1 = packet[1];
        break;
    case kCmdCommand20:
        c.known = true;
        c.arg1 = packet[1];
        c.arg2 = packet[2];
        break;
    default:
        break;
    }
    for (uint32_t i = PayloadEnd(c.code); i < kCommandPacketSize; ++i) {
        if (packet[i] != 0) c.strayBytes = true;
    }
    return c;
}

std::string DescribeCommand(const ParsedCommand& c) {
    char buf[128];
    switch (c.code) {
    case kCmdWriteRegister:
        std::snprintf(buf, sizeof buf, "WriteSensorRegister %d = %u (bits %u)", c.reg, c.value, c.bitCount);
        break;
    case kCmdSetFrameSize:
        std::snprintf(buf, sizeof buf, "SetFrameSize %u", c.frameSize);
        break;
    case kCmdCommand0A:
        std::snprintf(buf, sizeof buf, "Command0A %02X", c.arg1);
        break;
    case kCmdCommand20:
        std::snprintf(buf, sizeof buf, "Command20 %02X %02X", c.arg1, c.arg2);
        break;
    case kCmdSetTriggerMode:
        std::snprintf(buf, sizeof buf, "SetTriggerMode %s", c.arg1 ? "on" : "off");
        break;
    default:
        if (c.known) {
            std::snprintf(buf, sizeof buf, "%s", CommandName(c.code));
        } else {
            std::snprintf(buf, sizeof buf, "Unknown %02X", c.code);
        }
        break;
    }
    std::string s = buf;
    if (c.strayBytes) s += " (non-zero padding)";
    return s;
}

}  // namespace sim
