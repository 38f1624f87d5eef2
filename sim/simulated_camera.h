// The simulated camera: the device side of the USB contract, behind the seam
// the host USB stack calls (hostusb::UsbDevice).
//
// What it answers: GET_DESCRIPTOR (device, configuration); vendor requests
// 0xA0/0xA3 writing the controller's memory, with a check of the firmware
// download; SET_CONFIGURATION 1/0; 64-byte command packets on pipe 0
// (endpoint 0x01) driving a sensor register file; the QueryStatus reply pair
// on pipe 1 (0x81); a raw frame on pipe 2 (0x82) for every Command02 ..
// Command03 cycle, rendered from a scene, paced at a configurable frame rate
// and streamed by the camera's own thread into the pending transfers in the
// order they were submitted.
//
// Threads and locks. Every public member is thread-safe. One mutex guards
// the state; a transfer is taken out of the pending lists under it by
// whoever is going to complete it (the frame thread, a request that queues a
// reply, CancelBulk, a fault), and Complete is always called after the mutex
// is released, because completion runs the host's routine, which may cancel
// or submit again. A transfer no longer in a list is never touched by
// anyone but its completer, so Complete runs exactly once even when
// CancelBulk races with delivery.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/usb/usb_device.h"
#include "sim/command_packet.h"
#include "sim/controller_memory.h"
#include "sim/descriptors.h"
#include "sim/faults.h"
#include "sim/frame_renderer.h"
#include "sim/frame_schedule.h"
#include "sim/scene.h"
#include "sim/sensor.h"
#include "sim/trace.h"

namespace sim {

struct CameraCounters {
    uint64_t requests = 0;          // requests received (each trace line's request)
    uint64_t commandsReceived = 0;  // command packets carried out
    std::array<uint64_t, 256> commandsByCode{};
    uint64_t replyPacketsSent = 0;
    uint64_t framesRequested = 0;   // Command03 received
    uint64_t framesStarted = 0;     // rendered and begun on pipe 2
    uint64_t framesSent = 0;        // every byte handed to a transfer
    uint64_t framesAbandoned = 0;   // begun but cut short (Command02, deconfigure, unplug)
    uint64_t frameBytesSent = 0;
    uint64_t frameChunksFailed = 0;
    uint64_t triggersFired = 0;
};

constexpr int kFrameStampSamples = 16;
constexpr uint8_t kFrameStampZero = 0x40;
constexpr uint8_t kFrameStampOne = 0xC0;

struct PacketLogEntry {
    uint64_t sequence = 0;  // 1 for the first command packet since power-on
    ParsedCommand command;
};

class SimulatedCamera : public hostusb::UsbDevice {
public:
    SimulatedCamera();
    ~SimulatedCamera() override;
    SimulatedCamera(const SimulatedCamera&) = delete;
    SimulatedCamera& operator=(const SimulatedCamera&) = delete;

    // ---- hostusb::UsbDevice ----
    uint32_t ControlTransfer(const hostusb::SetupPacket& setup, uint8_t* data, uint32_t* transferred) override;
    uint32_t SetConfiguration(uint8_t configurationValue) override;
    uint32_t ResetPipe(uint8_t endpoint) override;
    void SubmitBulk(hostusb::BulkTransfer* transfer) override;
    void CancelBulk(hostusb::BulkTransfer* transfer) override;
    uint32_t GetPortStatus(uint32_t* portStatus) override;
    uint32_t ResetPort() override;

    // ---- picture and pacing ----
    void SetScene(std::shared_ptr<const Scene> scene);  // default: the test chart
    bool SetScene(const std::string& spec, std::string* error);
    std::shared_ptr<const Scene> CurrentScene() const;
    // Frames per second; 0 (the default) sends each frame as soon as it is
    // asked for. Paced, frames begin on a grid of 1/fps laid from the first
    // frame after the call, at most one per slot: a frame asked for early
    // waits for its slot, one asked for late begins at once in the slot it
    // falls in (frame_schedule.h), so the rate holds over any length of run.
    void SetFrameRate(double fps);
    double FrameRate() const;
    // Deterministic noise of +-amplitude per sample; 0 (default) is none.
    void SetNoise(uint32_t amplitude);
    // Each frame sent carries its number (framesStarted once it began) in
    // the first kFrameStampSamples samples of line 0: bit k of the number in
    // sample k, kFrameStampOne for a one, kFrameStampZero for a zero. Frames
    // then differ from one another, so a client can tell a new picture from
    // one delivered again. Off by default, as it changes the picture.
    void SetFrameStamp(bool on);

    // ---- deterministic frame timing for tests ----
    // While held, a requested frame does not start until StepFrames grants
    // it; frames already begun finish. ReleaseFrames lets all go again.
    void HoldFrames();
    void ReleaseFrames();
    void StepFrames(uint32_t frames);

    // ---- external trigger ----
    // In trigger mode (see TriggerMode) a requested frame waits for a
    // trigger. A trigger fired in trigger mode is latched until a frame uses
    // it (so a test may fire before the host asks); one fired while the
    // camera runs free is ignored, as the sensor's trigger input is then.
    void FireTrigger();
    // Trigger mode needs the controller switched by command 0x28 (byte 1
    // non-zero) and the sensor set up for it: register 32 bit 4 clear and
    // register 33 low nibble 12. Anything else runs free; the second
    // QueryStatus packet reports exactly this.
    bool TriggerMode() const;
    bool ControllerTriggerMode() const;  // the 0x28 switch alone

    // ---- descriptors ----
    // Answer GET_DESCRIPTOR with these bytes in place of the camera's own
    // (the configuration of the select-configuration request is the host's
    // copy of them). The pipes stay the camera's: 0x01, 0x81, 0x82.
    void SetDescriptors(const DescriptorSet& descriptors);

    // ---- device state ----
    uint32_t SensorRegister(int reg) const;
    std::vector<uint32_t> SensorRegisterFile() const;  // 1024 entries
    uint32_t Exposure() const;
    uint32_t GlobalGain() const;
    uint32_t RawFrameSize() const;  // last SetFrameSize, else 2315264
    bool Configured() const;
    bool StartupReceived() const;  // DeviceStartup since power-on
    FirmwareLoadCheck FirmwareCheck() const;
    std::vector<uint8_t> ReadControllerMemory(uint16_t address, uint32_t length) const;
    CameraCounters Counters() const;
    std::vector<PacketLogEntry> PacketLog() const;  // the first 100000 since ClearPacketLog
    void ClearPacketLog();
    size_t PendingTransfers(uint8_t endpoint) const;
    // Descriptors, pipes, firmware received, counters and every non-zero
    // sensor register, for people.
    std::string Summary() const;

    // ---- what the camera would send now ----
    RenderParams CurrentRenderParams() const;
    // The raw frame for the present scene, registers and frame size; equals
    // the next frame sent while nothing changes (and no noise is on).
    std::vector<uint8_t> ExpectedRawFrame() const;
    // Its samples alone: 1600 per line, top line first.
    std::vector<uint8_t> ExpectedImage() const;
    // The last frame begun on pipe 2 (null before the first).
    std::shared_ptr<const std::vector<uint8_t>> LastFrame() const;

    // ---- waits for tests; false on timeout ----
    bool WaitForFramesSent(uint64_t frames, std::chrono::milliseconds timeout) const;
    // A frame is asked for (Command03) and not yet begun.
    bool WaitForFrameRequest(std::chrono::milliseconds timeout) const;
    bool WaitForPendingTransfers(uint8_t endpoint, size_t count, std::chrono::milliseconds timeout) const;

    // ---- trace ----
    std::vector<std::string> TraceLines() const;
    void ClearTrace();
    bool WriteTrace(FILE* file) const;
    bool WriteTrace(const std::string& path) const;
    void SetTraceOptions(const TraceOptions& options);
    size_t TraceDroppedLines() const;

    // ---- faults ----
    // Unplugged, every request fails with kUsbdDeviceGone and is not traced,
    // pending transfers complete with it, and the port reads not connected.
    void Unplug();
    // Answer `requests` more requests, then unplug (a camera pulled out
    // part-way through a start).
    void UnplugAfterRequests(uint32_t requests);
    // Send `frames` more frames whole, then unplug (a camera pulled out
    // mid-stream).
    void UnplugAfterFrames(uint32_t frames);
    // Plugged in again: powered up afresh (memory, registers, configuration,
    // frame size). Faults and the trace are kept.
    void Replug();
    bool Plugged() const;
    // The port stays connected but is disabled: requests fail with
    // kUsbdDevNotResponding until ResetPort.
    void DisablePort();
    // Transfers on the endpoint fail with kUsbdStallPid (pending ones at
    // once) until ResetPipe of that endpoint.
    void StallPipe(uint8_t endpoint);
    // For the next `times` QueryStatus commands. Only kShorten uses bytes
    // (what the packet keeps) and packet (0 first, 1 second).
    void SetReplyFault(ReplyFault fault, uint32_t times = 1, uint32_t bytes = 0, int packet = 1);
    void FailFrameChunk(uint32_t chunkIndex, uint32_t frames = 1, uint32_t status = hostusb::kUsbdDevNotResponding);
    void SetSendNothing(bool on);
    // shortBytes 0: fail with status; otherwise move only that many bytes.
    void RejectCommands(bool on, uint32_t status = hostusb::kUsbdStallPid, uint32_t shortBytes = 0);
    void HangNextRequests(uint32_t count);
    void ClearFaults();
    FaultPlan Faults() const;

private:
    struct Completion {
        hostusb::BulkTransfer* transfer;
        uint32_t status;
        uint32_t actual;
    };
    using Completions = std::vector<Completion>;
    using Clock = std::chrono::steady_clock;

    // All *Locked members run with mutex_ held. The members are defined in
    // one file per part of the camera, as grouped here.

    // Endpoints and completion (camera_endpoints.cpp).
    static void RunCompletions(const Completions& done);
    template <typename Body>
    uint32_t RunRequest(Body body);
    uint32_t ControlTransferLocked(const hostusb::SetupPacket& setup, uint8_t* data, uint32_t* moved);
    uint32_t SetConfigurationLocked(uint8_t configurationValue, Completions& done);
    bool EnterRequestLocked(Completions& done);
    uint32_t DeviceRefusalLocked() const;
    void FinishInLocked(hostusb::BulkTransfer* t, uint32_t status, uint32_t actual, Completions& done);
    void FailAllPendingLocked(uint32_t status, bool trace, Completions& done);
    void FailPendingOnPipeLocked(int pipe, uint32_t status, Completions& done);

    // The controller and its command processor (camera_controller.cpp).
    void UnplugLocked(Completions& done);
    void PowerOnLocked();
    void ProcessCommandLocked(const uint8_t packet[kCommandPacketSize]);
    void QueueStatusRepliesLocked();
    void MatchRepliesLocked(Completions& done);
    bool TriggerModeLocked() const;

    // The frame pump (frame_pump.cpp).
    void AbandonFrameLocked();
    RenderParams RenderParamsLocked() const;
    // What the next frame would show, and the parameters it would be
    // rendered with.
    std::shared_ptr<const Scene> NextPicture(RenderParams* params) const;
    bool FrameMayStartLocked(Clock::time_point now, Clock::time_point* wakeAt) const;
    std::shared_ptr<const std::vector<uint8_t>> RenderFrame(const std::shared_ptr<const Scene>& scene,
                                                            const RenderParams& params);
    static void StampChunk(uint64_t number, uint32_t offset, uint8_t* chunk, uint32_t length);
    void FrameThread();

    // The faults (camera_faults.cpp) and what tests and the tool can see
    // (camera_inspection.cpp) only read and set the state below.

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;  // any state change: the frame thread and waiters
    mutable size_t transferWaiters_ = 0;        // callers in WaitForPendingTransfers
    Trace trace_;

    // Device
    bool plugged_ = true;
    bool portEnabled_ = true;
    bool configured_ = false;
    bool startupReceived_ = false;
    bool controllerTrigger_ = false;
    uint32_t rawFrameSize_ = kDefaultRawFrameSize;
    std::array<bool, kPipeCount> stalled_{};
    ControllerMemory memory_;
    SensorRegisters sensor_;

    // Pending transfers, in submission order.
    std::deque<hostusb::BulkTransfer*> pendingReplies_;  // pipe 1
    std::deque<hostusb::BulkTransfer*> pendingFrame_;    // pipe 2
    std::vector<hostusb::BulkTransfer*> hung_;           // pipe 0/1, never answered
    std::deque<std::vector<uint8_t>> replies_;           // status packets not yet read

    // Frames
    std::shared_ptr<const Scene> scene_;
    uint32_t noise_ = 0;
    bool stampFrames_ = false;
    uint64_t activeNumber_ = 0;  // framesStarted when the active frame began
    bool frameRequested_ = false;
    uint64_t frameEpoch_ = 0;  // bumped when a requested or running frame is abandoned
    std::shared_ptr<const std::vector<uint8_t>> activeFrame_;
    uint32_t activePos_ = 0;
    uint32_t activeChunk_ = 0;
    bool activeFailChunk_ = false;
    uint32_t activeFailIndex_ = 0;
    uint32_t activeFailStatus_ = 0;
    std::shared_ptr<const std::vector<uint8_t>> lastFrame_;
    FrameSchedule schedule_;  // the pacing; unpaced while its rate is 0
    bool held_ = false;
    uint32_t stepCredits_ = 0;
    uint32_t triggersLatched_ = 0;

    // Render cache: the last frame rendered without noise, reused while its
    // inputs stay the same (the usual case while streaming).
    std::shared_ptr<const Scene> cacheScene_;
    RenderParams cacheParams_;
    std::shared_ptr<const std::vector<uint8_t>> cacheFrame_;
    std::mutex cacheMutex_;  // taken without mutex_, by the frame thread

    DescriptorSet descriptors_;

    FaultPlan faults_;
    CameraCounters counters_;
    std::vector<PacketLogEntry> packetLog_;
    uint64_t packetSequence_ = 0;

    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace sim
