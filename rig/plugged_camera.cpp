#include "rig/plugged_camera.h"

#include "rig/driver_image.h"

namespace rig {

std::unique_ptr<hostks::PnpDevice> MakePnpDevice(hostusb::UsbDevice* device, hostk::RegistryStore* registry) {
    return std::make_unique<hostks::PnpDevice>(DriverEntryToPlug(), device, registry);
}

PluggedCamera::PluggedCamera() : PluggedCamera(Unprepared{}) {
    std::string unused;
    Prepare(Options{}, &unused);  // nothing of the defaults can fail
}

std::unique_ptr<PluggedCamera> PluggedCamera::Make(const Options& options, std::string* error) {
    std::unique_ptr<PluggedCamera> rig(new PluggedCamera(Unprepared{}));
    if (!rig->Prepare(options, error)) return nullptr;
    return rig;
}

PluggedCamera::~PluggedCamera() {
    // A file-backed store is saved by its own destructor, after the device's
    // removal saved the settings into it.
    filter_.reset();
    pnp_.reset();
    camera_.reset();
    retired_.clear();
}

bool PluggedCamera::Prepare(const Options& options, std::string* error) {
    options_ = options;
    camera_ = std::make_unique<sim::SimulatedCamera>();
    if (!options.scene.empty()) {
        std::string why;
        if (!camera_->SetScene(options.scene, &why)) {
            *error = "scene '" + options.scene + "': " + why;
            return false;
        }
    }
    scene_ = camera_->CurrentScene();
    SetUpCamera(*camera_);
    if (!ApplyCameraFaults(options.faults, *camera_, error)) return false;
    if (options.registryFile.empty()) {
        registry_ = std::make_unique<hostk::RegistryStore>();
    } else {
        std::string why;
        registry_ = hostk::RegistryStore::Open(options.registryFile, &why, options.registryWaitMs);
        if (!registry_) {
            *error = "registry store " + why;
            return false;
        }
    }
    MakeDevice();
    return true;
}

void PluggedCamera::SetUpCamera(sim::SimulatedCamera& camera) const {
    if (scene_) camera.SetScene(scene_);
    camera.SetFrameRate(options_.cameraFps);
    camera.SetFrameStamp(options_.frameStamp);
    if (options_.trace) camera.SetTraceOptions(*options_.trace);
}

void PluggedCamera::MakeDevice() {
    pnp_ = MakePnpDevice(camera_.get(), registry_.get());
    if (options_.usbCompletion) pnp_->UsbStack().SetCompletionMode(*options_.usbCompletion);
}

DeviceContext* PluggedCamera::Context() {
    PKSDEVICE device = pnp_->KsDevice();
    return device ? DeviceContextOf(device) : nullptr;
}

NTSTATUS PluggedCamera::Start() {
    NTSTATUS status = pnp_->Start();
    ApplyCameraFaultsOnceStarted(options_.faults, *camera_);
    return status;
}

NTSTATUS PluggedCamera::PlugIn() {
    NTSTATUS status = Add();
    if (!NT_SUCCESS(status)) return status;
    return Start();
}

void PluggedCamera::Unplug() { hostks::Unplug(*pnp_); }

void PluggedCamera::PullOut() {
    camera_->Unplug();
    Unplug();
}

NTSTATUS PluggedCamera::Replug() {
    CloseFilter();
    PullOut();
    retired_.push_back(Plugged{std::move(camera_), std::move(pnp_)});
    DropRetiredDevices();
    camera_ = std::make_unique<sim::SimulatedCamera>();
    SetUpCamera(*camera_);
    MakeDevice();
    return PlugIn();
}

size_t PluggedCamera::RetiredDevices() {
    DropRetiredDevices();
    return retired_.size();
}

void PluggedCamera::DropRetiredDevices() {
    // A device is gone for good once its removal ran, which the class holds
    // back until the application's last handle on it is closed.
    for (auto it = retired_.begin(); it != retired_.end();) {
        it = it->pnp->Added() ? it + 1 : retired_.erase(it);
    }
}

NTSTATUS PluggedCamera::OpenFilter() { return hostks::KsFilter::Open(*pnp_, &filter_); }

NTSTATUS PluggedCamera::CloseFilter() {
    if (!filter_) return STATUS_SUCCESS;
    NTSTATUS status = filter_->Close();
    filter_.reset();
    return status;
}

bool PluggedCamera::Close(std::string* error) {
    CloseFilter();
    Unplug();
    DropRetiredDevices();
    std::string why;
    if (registry_->Flush(&why)) why = registry_->LastSaveError();
    if (why.empty()) return true;
    if (error) *error = why;
    return false;
}

}  // namespace rig
