// The camera as a whole: its parts start and stop together (the frame
// pump's thread lives as long as the camera), and the scene it sees.
#include "sim/simulated_camera.h"

namespace sim {

using hostusb::kUsbdCanceled;

SimulatedCamera::SimulatedCamera()
    : scene_(Scene::TestChart()), descriptors_{DeviceDescriptor(), ConfigurationDescriptor()} {
    thread_ = std::thread([this] { FrameThread(); });
}

SimulatedCamera::~SimulatedCamera() {
    Completions done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    {
        // A host that let go of the camera without cancelling still gets
        // every transfer back, so no waiter blocks.
        std::lock_guard<std::mutex> lock(mutex_);
        FailAllPendingLocked(kUsbdCanceled, false, done);
    }
    RunCompletions(done);
}

void SimulatedCamera::SetScene(std::shared_ptr<const Scene> scene) {
    if (!scene) return;
    std::lock_guard<std::mutex> lock(mutex_);
    scene_ = std::move(scene);
}

bool SimulatedCamera::SetScene(const std::string& spec, std::string* error) {
    std::shared_ptr<const Scene> scene = Scene::Parse(spec, error);
    if (!scene) return false;
    SetScene(std::move(scene));
    return true;
}

std::shared_ptr<const Scene> SimulatedCamera::CurrentScene() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scene_;
}

}  // namespace sim
