#include "tools/quelvixcam/discarding_stream.h"

#include <chrono>
#include <cstdio>

namespace {

std::string Refused(const char* what, NTSTATUS status) {
    char text[64];
    std::snprintf(text, sizeof text, "%s (status 0x%08X)", what, static_cast<unsigned>(status));
    return text;
}

}  // namespace

bool DiscardingStream::Start(hostks::KsFilter& filter, std::string* error) {
    std::vector<std::vector<uint8_t>> ranges = filter.DataRanges(0);
    if (ranges.empty()) {
        *error = "the capture pin offers no format";
        return false;
    }
    std::vector<uint8_t> format;
    NTSTATUS status = filter.Intersect(0, ranges[0].data(), &format);
    if (!NT_SUCCESS(status)) {
        *error = Refused("the pin refused its own format", status);
        return false;
    }
    status = filter.CreatePin(0, format.data(), &pin_);
    if (!NT_SUCCESS(status)) {
        *error = Refused("cannot create the capture pin", status);
        return false;
    }
    pin_->SetClock(&clock_);
    KSALLOCATOR_FRAMING_EX framing = pin_->Framing();
    frameSize_ = framing.FramingItem[0].FramingRange.Range.MaxFrameSize;
    const ULONG count = framing.FramingItem[0].Frames < 2 ? 2 : framing.FramingItem[0].Frames;
    for (ULONG i = 0; i < count; ++i) {
        frames_.push_back(std::make_unique<hostks::FrameBuffer>(frameSize_));
        if (!frames_.back()->data()) {
            *error = "no memory for the capture frames";
            Stop();
            return false;
        }
    }
    status = pin_->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
        *error = Refused("the pin cannot run", status);
        Stop();
        return false;
    }
    for (const auto& frame : frames_) pin_->SubmitFrame(frame->data(), frameSize_);
    thread_ = std::thread(&DiscardingStream::Recycle, this);
    return true;
}

void DiscardingStream::Recycle() {
    while (!stopping_.load()) {
        hostks::CompletedFrame frame;
        // Short waits, so that Stop is never kept waiting for a frame.
        if (!pin_->WaitForFrame(&frame, std::chrono::milliseconds(100))) continue;
        // A frame refused again (the camera gone, the pin leaving run) is
        // simply kept; the pin's stop returns the rest.
        pin_->SubmitFrame(frame.data, frameSize_);
    }
}

void DiscardingStream::Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    if (pin_) {
        pin_->SetState(KSSTATE_STOP);
        pin_->Close();
        pin_.reset();
    }
    // Only now: a frame in flight keeps its buffer until the pin lets go.
    frames_.clear();
}
