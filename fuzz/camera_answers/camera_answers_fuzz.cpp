// Fuzz target: what the camera sends back - its status reply packets and
// the transfers of its frames - while a client streams and asks for the
// trigger mode. The camera's answers reach the driver through a
// RewritingWire (sim/rewriting_wire.h) that, transfer by transfer, passes
// them, rewrites them (any status, a short length, other bytes, more than
// the transfer holds), answers at once without the camera, or never answers.
//
// An input is three parts: the client's steps (a length byte, then that
// many bytes), the reply pipe's script (a 16-bit length, then its bytes),
// and the frame pipe's script (the rest). Each pipe's transfers are
// submitted in an order of their own, so each reads its own part and an
// input replays the same way. A script that has run out passes the camera's
// answers unchanged. The client first sets a Roi of 1600 x H (H of the
// input's choosing, so a frame is one chunk or several), creates the pin,
// runs and queues two frames; its steps then ask for the trigger mode, wait
// for a frame, pause and run again, or set the exposure.
//
// What must hold: the trigger mode read is 0 or 1; a frame handed back is
// never used past its extent; every step keeps the platform's rules (the
// strict USB stack's among them); closing and unplugging leave nothing
// behind, with no transfer left in flight.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "driver/camera/property_set.h"
#include "rig/camera_property.h"
#include "fuzz/support/fuzzed_driver.h"
#include "fuzz/support/fuzz_input.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr const char* kTarget = "camera_answers";
constexpr size_t kMaxSteps = 12;
constexpr ULONG kWidth = 1600;
const LONG kHeights[] = {8, 40, 200};

// One pipe's part of the input, read as its transfers are submitted.
class PipeScript {
public:
    explicit PipeScript(Bytes bytes) : bytes_(std::move(bytes)), in_(bytes_.data(), bytes_.size()) {}

    sim::InAnswer Next() {
        sim::InAnswer answer;
        if (in_.Empty()) return answer;
        static const uint32_t kStatuses[] = {hostusb::kUsbdSuccess, hostusb::kUsbdStallPid,
                                             hostusb::kUsbdDevNotResponding, sim::kUsbdBabbleDetected,
                                             hostusb::kUsbdRequestFailed};
        const uint8_t op = in_.Byte();
        switch (op % 8) {
        case 3:
        case 4:
            answer.kind = op % 8 == 3 ? sim::InAnswer::Kind::kRewrite : sim::InAnswer::Kind::kAnswerNow;
            answer.status = kStatuses[in_.Byte() % 5];
            answer.length = in_.Flag() ? in_.U32() % 0x20000 : in_.Byte();
            answer.bytes = in_.Bytes(in_.Byte() % 16);
            break;
        case 5:
            answer.kind = sim::InAnswer::Kind::kNever;
            break;
        case 6:
        case 7:
            // A short packet ends the transfer early: fewer bytes than asked.
            answer.kind = sim::InAnswer::Kind::kRewrite;
            answer.length = in_.Flag() ? in_.U32() % 0x10000 : in_.Byte();
            break;
        default:
            break;  // the camera's own answer
        }
        return answer;
    }

private:
    Bytes bytes_;
    fuzzing::FuzzInput in_;
};

void SetRoi(hostks::KsFilter& filter, LONG height) {
    CameraRoiValue roi{};
    roi.Property.Set = CameraPropertySetId;
    roi.Property.Id = PropertyRoi;
    roi.Property.Flags = KSPROPERTY_TYPE_SET;
    roi.Width = kWidth;
    roi.Height = height;
    ULONG returned = 0;
    filter.SendPropertyRequest(&roi, sizeof roi, &roi, sizeof roi, &returned);
}

struct Client {
    std::unique_ptr<hostks::KsFilter> filter;
    std::unique_ptr<hostks::KsPin> pin;
    std::deque<Bytes> frames;
    ULONG imageBytes = 0;

    void Queue() {
        frames.emplace_back(imageBytes, 0);
        if (pin->SubmitFrame(frames.back().data(), imageBytes) != STATUS_PENDING) frames.pop_back();
    }

    void TakeFrame(std::chrono::milliseconds wait) {
        hostks::CompletedFrame done;
        if (!pin->WaitForFrame(&done, wait)) return;
        if (done.dataUsed > done.frameExtent) fuzzing::Violated(kTarget, "a frame used past its extent", done.dataUsed);
        // Its buffer goes back into the queue, so two stay in flight.
        for (Bytes& frame : frames) {
            if (frame.data() == done.data && pin->SubmitFrame(frame.data(), imageBytes) == STATUS_PENDING) return;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Begin(100, 200);
    fuzzing::FuzzInput in(data, size);
    Bytes steps = in.Bytes(in.Byte());
    PipeScript replies(in.Bytes(in.U16()));
    PipeScript frames(in.Rest());
    fuzzing::FuzzInput step(steps.data(), steps.size());

    // The scripts are called under the wire's lock, one call at a time.
    fuzzing::FuzzedDriver driver([&](uint8_t endpoint, uint32_t) {
        return endpoint == 0x81 ? replies.Next() : endpoint == 0x82 ? frames.Next() : sim::InAnswer{};
    });
    Client c;
    c.filter = driver.PlugWithFilter(kTarget);
    const LONG height = kHeights[step.Byte() % 3];
    SetRoi(*c.filter, height);
    c.imageBytes = kWidth * static_cast<ULONG>(height) * 4;
    std::vector<Bytes> ranges = c.filter->DataRanges(0);
    Bytes format;
    if (ranges.empty() || c.filter->Intersect(0, ranges[0].data(), &format) != STATUS_SUCCESS ||
        c.filter->CreatePin(0, format.data(), &c.pin) != STATUS_SUCCESS)
        fuzzing::Violated(kTarget, "the pin would not open");
    c.pin->SetState(KSSTATE_RUN);
    c.Queue();
    c.Queue();

    for (size_t i = 0; i < kMaxSteps && !step.Empty(); ++i) {
        switch (step.Byte() % 4) {
        case 0: {
            LONG mode = 0;
            NTSTATUS status = rig::SendCameraValue(*c.filter, PropertyExTrigger, KSPROPERTY_TYPE_GET, &mode);
            if (NT_SUCCESS(status) && mode != 0 && mode != 1)
                fuzzing::Violated(kTarget, "a trigger mode other than 0 or 1", mode);
            break;
        }
        case 1: c.TakeFrame(std::chrono::milliseconds(200)); break;
        case 2:
            c.pin->SetState(KSSTATE_PAUSE);
            c.pin->SetState(KSSTATE_RUN);
            break;
        default: {
            LONG exposure = step.U16();
            rig::SendCameraValue(*c.filter, PropertyExposure, KSPROPERTY_TYPE_SET, &exposure);
            break;
        }
        }
    }
    // Frames go back to the client at the pin's stop, before their buffers go.
    c.pin->Close();
    c.pin.reset();
    c.frames.clear();
    driver.Finish(kTarget, &c.pin, &c.filter);
    return 0;
}
