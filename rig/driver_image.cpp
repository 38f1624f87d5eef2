#include "rig/driver_image.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "host/exports/platform_exports.h"
#include "host/image_loader/image_loader.h"
#include "host/kernel/shared_user_data.h"

// The host build's entry, declared here alone: everything else that plugs
// the camera in comes through this file.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace rig {
namespace {

std::mutex g_lock;
// Never unloaded: system threads and completions of a removed device may
// still be returning into it when the program ends.
hostldr::LoadedImage* g_image = nullptr;
std::string g_imagePath;
bool g_environmentRead = false;

bool LoadLocked(const std::string& path, std::string* error) {
    if (g_image) {
        if (path == g_imagePath) return true;
        *error = "driver image " + g_imagePath + " is already in use; " + path + " cannot replace it";
        return false;
    }
    std::unique_ptr<hostldr::LoadedImage> image = hostldr::LoadedImage::Load(path, hostexports::PlatformExport, error);
    if (!image) return false;
    if (!hostk::ServeSharedUserData(image->Base(), image->Size())) {
        *error = "driver image " + path + ": the kernel's shared data page cannot be served";
        return false;
    }
    g_image = image.release();
    g_imagePath = path;
    return true;
}

void ReadEnvironmentLocked() {
    if (g_environmentRead) return;
    g_environmentRead = true;
    const char* path = std::getenv("QUELVIX_DRIVER_IMAGE");
    if (!path || !*path || g_image) return;
    std::string error;
    if (!LoadLocked(path, &error)) {
        std::fprintf(stderr, "QUELVIX_DRIVER_IMAGE: %s\n", error.c_str());
        std::exit(2);
    }
}

}  // namespace

bool UseDriverImage(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> hold(g_lock);
    return LoadLocked(path, error);
}

PDRIVER_INITIALIZE DriverEntryToPlug() {
    std::lock_guard<std::mutex> hold(g_lock);
    ReadEnvironmentLocked();
    if (!g_image) return DriverEntry;
    return reinterpret_cast<PDRIVER_INITIALIZE>(g_image->EntryPoint());
}

}  // namespace rig
