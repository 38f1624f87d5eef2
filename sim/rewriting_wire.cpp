#include "sim/rewriting_wire.h"

#include <algorithm>
#include <cstring>

namespace sim {

// What the camera is handed in place of a host transfer it is to answer
// rewritten: the same endpoint, buffer and length; its completion goes
// through the wire.
class RewritingWire::Relay final : public hostusb::BulkTransfer {
public:
    Relay(RewritingWire* wire, hostusb::BulkTransfer* original, InAnswer answer)
        : wire_(wire), original_(original), answer_(std::move(answer)) {
        endpoint = original->endpoint;
        buffer = original->buffer;
        length = original->length;
    }
    ~Relay() override = default;

    void Complete(uint32_t usbdStatus, uint32_t) override {
        wire_->Relayed(this, usbdStatus);
    }

    RewritingWire* wire_;
    hostusb::BulkTransfer* original_;
    InAnswer answer_;
};

RewritingWire::RewritingWire(hostusb::UsbDevice* camera, Script script) : camera_(camera), script_(std::move(script)) {}

RewritingWire::~RewritingWire() {
    std::vector<hostusb::BulkTransfer*> held;
    {
        std::lock_guard<std::mutex> hold(lock_);
        held.swap(never_);
    }
    for (hostusb::BulkTransfer* t : held) t->Complete(hostusb::kUsbdCanceled, 0);
}

uint32_t RewritingWire::ControlTransfer(const hostusb::SetupPacket& setup, uint8_t* data, uint32_t* transferred) {
    return camera_->ControlTransfer(setup, data, transferred);
}

uint32_t RewritingWire::SetConfiguration(uint8_t configurationValue) {
    return camera_->SetConfiguration(configurationValue);
}

uint32_t RewritingWire::ResetPipe(uint8_t endpoint) { return camera_->ResetPipe(endpoint); }
uint32_t RewritingWire::GetPortStatus(uint32_t* portStatus) { return camera_->GetPortStatus(portStatus); }
uint32_t RewritingWire::ResetPort() { return camera_->ResetPort(); }

// Fills the first `length` bytes (cut to the transfer's length) with the
// answer's bytes and completes the host's transfer. A rewritten answer
// without bytes of its own keeps what the camera wrote, and past that the
// buffer is as it was.
void RewritingWire::Answer(hostusb::BulkTransfer* t, const InAnswer& answer) {
    uint32_t moved = std::min(answer.length, t->length);
    uint32_t status = answer.status;
    // More than the transfer holds never lands in its buffer.
    if (answer.length > t->length && status == hostusb::kUsbdSuccess) status = kUsbdBabbleDetected;
    if (!answer.bytes.empty()) {
        for (uint32_t i = 0; i < moved; ++i) t->buffer[i] = answer.bytes[i % answer.bytes.size()];
    } else if (answer.kind == InAnswer::Kind::kAnswerNow) {
        std::memset(t->buffer, 0, moved);
    }
    t->Complete(status, moved);
}

void RewritingWire::SubmitBulk(hostusb::BulkTransfer* t) {
    if ((t->endpoint & 0x80) == 0) {
        camera_->SubmitBulk(t);
        return;
    }
    InAnswer answer;
    {
        std::lock_guard<std::mutex> hold(scriptLock_);
        if (script_) answer = script_(t->endpoint, t->length);
    }
    switch (answer.kind) {
    case InAnswer::Kind::kPass:
        camera_->SubmitBulk(t);
        return;
    case InAnswer::Kind::kAnswerNow:
        Answer(t, answer);
        return;
    case InAnswer::Kind::kNever: {
        std::lock_guard<std::mutex> hold(lock_);
        never_.push_back(t);
        return;
    }
    case InAnswer::Kind::kRewrite: {
        Relay* relay;
        {
            std::lock_guard<std::mutex> hold(lock_);
            relays_.push_back(std::make_unique<Relay>(this, t, std::move(answer)));
            relay = relays_.back().get();
            relayed_[t] = relay;
        }
        camera_->SubmitBulk(relay);
        return;
    }
    }
}

void RewritingWire::Relayed(Relay* relay, uint32_t status) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        relayed_.erase(relay->original_);
    }
    // A transfer the host cancelled stays cancelled: what it would have
    // carried never reached the host.
    if (status == hostusb::kUsbdCanceled || status == hostusb::kUsbdDeviceGone) {
        relay->original_->Complete(status, 0);
        return;
    }
    Answer(relay->original_, relay->answer_);
}

void RewritingWire::CancelBulk(hostusb::BulkTransfer* t) {
    Relay* relay = nullptr;
    bool held = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = std::find(never_.begin(), never_.end(), t);
        if (it != never_.end()) {
            never_.erase(it);
            held = true;
        } else {
            auto found = relayed_.find(t);
            if (found != relayed_.end()) relay = found->second;
        }
    }
    if (held) {
        t->Complete(hostusb::kUsbdCanceled, 0);
    } else if (relay) {
        camera_->CancelBulk(relay);
    } else {
        camera_->CancelBulk(t);
    }
}

}  // namespace sim
