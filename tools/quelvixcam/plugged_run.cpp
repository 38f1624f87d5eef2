#include "tools/quelvixcam/plugged_run.h"

#include <cstdio>
#include <memory>

#include "tools/quelvixcam/camera_faults.h"
#include "host/kernel/violations.h"
#include "tools/quelvixcam/registry_option.h"

namespace {

int Fail(const char* tool, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", tool, message.c_str());
    return 1;
}

}  // namespace

int RunWithPluggedCamera(const char* tool, rig::Options options, const std::string& registry,
                         const std::function<int(rig::PluggedCamera&)>& work) {
    if (!UseRegistryStore(tool, registry, &options)) return 1;
    std::string error;
    std::unique_ptr<rig::PluggedCamera> rig = rig::PluggedCamera::Make(options, &error);
    if (!rig) return Fail(tool, error);

    int result = 0;
    NTSTATUS status = rig->PlugIn();
    if (!NT_SUCCESS(status)) {
        result = Fail(tool, "the camera did not start (status " + StatusText(status) + ")");
    } else {
        result = work(*rig);
    }
    // Closing the filter and unplugging save the settings.
    if (!rig->Close(&error)) {
        const int failed = Fail(tool, error);
        if (result == 0) result = failed;
    }
    if (hostk::ViolationCount() != 0 && result == 0)
        result = Fail(tool, "platform rules broken:\n" + hostk::ViolationText());
    return CheckPoolAfterUnplug(tool, result);
}
