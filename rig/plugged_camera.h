// A simulated camera plugged in under the driver, with the registry store
// that holds the device's driver key, and the capture filter when asked for.
// The one assembly of camera, USB stack, PnP device, store and filter that
// the tool, the tests, the benchmarks, the soak and the fuzz targets share.
//
// The camera is made at once; nothing is plugged in until Add/Start or
// PlugIn, so a caller can set faults on the camera first. Going away, it
// closes its filter and unplugs what is still plugged in.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/device/device_context.h"
#include "host/kernel/registry_store.h"
#include "host/ks/ks_client.h"
#include "host/ks/pnp.h"
#include "host/usb/completion_mode.h"
#include "rig/camera_faults.h"
#include "sim/simulated_camera.h"

namespace rig {

// A PnP device with this driver above `device` and the device's driver key
// in `registry` (null: a store of its own in memory). For the few callers
// that put a device of their own between the stack and a camera.
std::unique_ptr<hostks::PnpDevice> MakePnpDevice(hostusb::UsbDevice* device, hostk::RegistryStore* registry = nullptr);

struct Options {
    // What the camera sees (sim::SimulatedCamera::SetScene); empty: the chart.
    std::string scene;
    // Frames a second the camera sends; 0 sends each as soon as asked.
    double cameraFps = 0;
    // Each frame's number in its first samples, so new pictures differ.
    bool frameStamp = false;
    // Named faults (camera_faults.h), set before the camera is plugged in.
    std::vector<CameraFault> faults;
    // The store file; empty keeps the store in memory, empty at first, as
    // for a freshly installed camera. A file held by another process is
    // waited for up to registryWaitMs.
    std::string registryFile;
    int registryWaitMs = hostk::kRegistryLockWaitMs;
    // How the USB stack completes requests; unset: as QUELVIX_USB_COMPLETION
    // says (completion_mode.h).
    std::optional<hostusb::CompletionMode> usbCompletion;
    // The camera's request trace; unset: the camera's default (every line).
    std::optional<sim::TraceOptions> trace;
};

class PluggedCamera {
public:
    // A camera with default options: the chart, unpaced, a store in memory.
    PluggedCamera();
    // Null with one line in *error when the scene, a fault's file or the
    // store file cannot be had ("scene 'x.png': ...", "registry store ...").
    static std::unique_ptr<PluggedCamera> Make(const Options& options, std::string* error);
    ~PluggedCamera();
    PluggedCamera(const PluggedCamera&) = delete;
    PluggedCamera& operator=(const PluggedCamera&) = delete;

    sim::SimulatedCamera& Camera() { return *camera_; }
    hostks::PnpDevice& Pnp() { return *pnp_; }
    hostk::RegistryStore& Registry() { return *registry_; }
    // The driver's device record; null while the device is not added.
    DeviceContext* Context();

    // The PnP steps one at a time. Start sets the faults that bite only on
    // a configured camera, whatever the start's status.
    NTSTATUS Add() { return pnp_->Add(); }
    NTSTATUS Start();
    void Stop() { pnp_->Stop(); }
    void Remove() { pnp_->Remove(); }
    // Add then Start: the first failing status.
    NTSTATUS PlugIn();
    // The device leaves as hostks::Unplug has it: stop and remove, or with
    // filters still open a surprise removal that completes at the last close.
    void Unplug();
    // The cable is pulled: the camera is gone at once (every request fails,
    // pending transfers end), then the device leaves as Unplug says.
    void PullOut();
    // Plugs a camera in again as a new device instance, as Windows does for
    // a camera pulled out and put back. The old camera and device stay, gone,
    // until the application has closed every handle it held on them; the new
    // camera has the options' scene, rate and stamp but none of their faults.
    // The status of the new PlugIn.
    NTSTATUS Replug();
    // Old devices still held open by an application.
    size_t RetiredDevices();

    // The capture filter, opened on the current device and kept here.
    NTSTATUS OpenFilter();
    hostks::KsFilter& Filter() { return *filter_; }
    bool FilterOpen() const { return filter_ && filter_->IsOpen(); }
    NTSTATUS CloseFilter();

    // Closes the filter, unplugs, and saves the store file: false with one
    // line in *error (if given) when a save failed, now or an earlier lazy
    // one. The camera stays, for its trace and counters.
    bool Close(std::string* error);

private:
    struct Plugged {
        std::unique_ptr<sim::SimulatedCamera> camera;
        std::unique_ptr<hostks::PnpDevice> pnp;
    };

    struct Unprepared {};
    explicit PluggedCamera(Unprepared) {}
    bool Prepare(const Options& options, std::string* error);
    void SetUpCamera(sim::SimulatedCamera& camera) const;
    void MakeDevice();
    void DropRetiredDevices();

    Options options_;
    std::shared_ptr<const sim::Scene> scene_;
    std::unique_ptr<hostk::RegistryStore> registry_;
    std::unique_ptr<sim::SimulatedCamera> camera_;
    std::unique_ptr<hostks::PnpDevice> pnp_;
    std::unique_ptr<hostks::KsFilter> filter_;
    std::vector<Plugged> retired_;
};

}  // namespace rig
