// A wire between the host USB stack and a camera that changes what the
// camera sends back: for each IN transfer a script decides whether the
// camera's answer goes through as it is, arrives rewritten (other bytes, a
// shorter length, another status), is answered on the wire at once without
// the camera, or never comes (until the host cancels the transfer). OUT
// transfers and control requests pass unchanged.
//
// It stands for a camera whose replies and frame data cannot be trusted, for
// tests and fuzz targets; the camera behind it keeps its own state (a reply
// answered on the wire leaves the camera's own reply queued for the next
// read, as a device out of step would). A transfer never moves more than its
// length: a device that sends more is cut off by the host controller, which
// reports babble.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/usb/usb_device.h"

namespace sim {

constexpr uint32_t kUsbdBabbleDetected = 0xC0000012;

struct InAnswer {
    enum class Kind {
        kPass,       // the camera's answer, unchanged
        kRewrite,    // the camera's answer with status, length and bytes below
        kAnswerNow,  // status, length and bytes below, at once, without the camera
        kNever,      // no answer until the host cancels the transfer
    };
    Kind kind = Kind::kPass;
    uint32_t status = hostusb::kUsbdSuccess;
    uint32_t length = 0;         // bytes moved, at most the transfer's length
    std::vector<uint8_t> bytes;  // repeated over those bytes; empty keeps what is there
};

class RewritingWire final : public hostusb::UsbDevice {
public:
    // Called once for every IN transfer, as it is submitted, with its
    // endpoint and length; calls are serialised.
    using Script = std::function<InAnswer(uint8_t endpoint, uint32_t length)>;

    RewritingWire(hostusb::UsbDevice* camera, Script script);
    // Transfers still held complete as cancelled.
    ~RewritingWire() override;
    RewritingWire(const RewritingWire&) = delete;
    RewritingWire& operator=(const RewritingWire&) = delete;

    uint32_t ControlTransfer(const hostusb::SetupPacket& setup, uint8_t* data, uint32_t* transferred) override;
    uint32_t SetConfiguration(uint8_t configurationValue) override;
    uint32_t ResetPipe(uint8_t endpoint) override;
    void SubmitBulk(hostusb::BulkTransfer* transfer) override;
    void CancelBulk(hostusb::BulkTransfer* transfer) override;
    uint32_t GetPortStatus(uint32_t* portStatus) override;
    uint32_t ResetPort() override;

private:
    class Relay;
    void Relayed(Relay* relay, uint32_t status);
    static void Answer(hostusb::BulkTransfer* transfer, const InAnswer& answer);

    hostusb::UsbDevice* camera_;
    Script script_;
    std::mutex lock_;
    std::mutex scriptLock_;
    std::map<hostusb::BulkTransfer*, Relay*> relayed_;  // host's transfer -> the one the camera has
    std::vector<hostusb::BulkTransfer*> never_;
    // Relays stay allocated until the wire goes, so that a cancel racing
    // with a completion never hands the camera a freed transfer.
    std::vector<std::unique_ptr<Relay>> relays_;
};

}  // namespace sim
