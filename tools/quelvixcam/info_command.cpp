#include "tools/quelvixcam/info_command.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/quelvixcam/camera_faults.h"
#include "driver/device/device_context.h"
#include "driver/device/pool_tags.h"
#include "host/kernel/violations.h"
#include "tools/quelvixcam/options_seen.h"
#include "tools/quelvixcam/registry_option.h"
#include "rig/plugged_camera.h"

namespace {

const char* PipeTypeName(USBD_PIPE_TYPE type) {
    switch (type) {
    case UsbdPipeTypeBulk: return "bulk";
    case UsbdPipeTypeInterrupt: return "interrupt";
    case UsbdPipeTypeIsochronous: return "isochronous";
    default: return "control";
    }
}

void PrintPipes(const DeviceContext* context) {
    const USBD_INTERFACE_INFORMATION* info = context->link.interfaceInfo;
    if (!info) {
        std::printf("pipes: none (the device is not configured)\n");
        return;
    }
    std::printf("pipes of interface %u:\n", info->InterfaceNumber);
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        const USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        std::printf("  pipe %lu: endpoint 0x%02X %s %s, %u-byte packets, maximum transfer 0x%08X\n",
                    static_cast<unsigned long>(i), pipe.EndpointAddress, PipeTypeName(pipe.PipeType),
                    (pipe.EndpointAddress & 0x80) ? "in" : "out", pipe.MaximumPacketSize, pipe.MaximumTransferSize);
    }
}

void PrintPool(const char* when) {
    hostk::PoolStats totals = hostk::PoolTotals();
    std::printf("pool %s: %zu live blocks, %zu bytes", when, totals.liveBlocks, totals.liveBytes);
    size_t driverBlocks = 0;
    for (ULONG tag : DriverPoolTags) {
        char text[5];
        hostk::TagText(tag, text);
        const size_t blocks = hostk::PoolTagStats(tag).liveBlocks;
        driverBlocks += blocks;
        std::printf(", '%s' %zu", text, blocks);
    }
    // The rest are the platform's own (the streaming class's and the USB
    // stack's), so that the breakdown adds up to the total.
    std::printf(", platform %zu\n", totals.liveBlocks - driverBlocks);
}

const char kUsage[] = "usage: quelvixcam info [--trace FILE] [--registry FILE] [--camera-fault NAME[=ARG]]...\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int RunInfoCommand(int argc, char** argv) {
    const char* tracePath = nullptr;
    std::string registryPath = DefaultRegistryPath();
    std::vector<CameraFault> faults;
    OptionsSeen seen;
    for (int i = 0; i < argc; ++i) {
        if (!seen.First("quelvixcam info", argv[i])) return 2;
        if (int taken = TakeCameraFaultOption("quelvixcam info", argc, argv, &i, &faults)) {
            if (taken != 1) return taken;  // its one error line is printed
        } else if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc) {
            tracePath = argv[++i];
        } else if (std::strcmp(argv[i], "--registry") == 0 && i + 1 < argc) {
            registryPath = argv[++i];
            if (!CheckRegistryOption("quelvixcam info", registryPath)) return 2;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            std::fputs(kCameraFaultHelp, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "quelvixcam info: unknown argument '%s'\n", argv[i]);
            return Usage();
        }
    }
    rig::Options rigOptions;
    rigOptions.faults = faults;
    if (!UseRegistryStore("quelvixcam info", registryPath, &rigOptions)) return 1;
    std::string error;
    std::unique_ptr<rig::PluggedCamera> rig = rig::PluggedCamera::Make(rigOptions, &error);
    if (!rig) {
        std::fprintf(stderr, "quelvixcam info: %s\n", error.c_str());
        return 1;
    }
    int exitCode = 0;
    NTSTATUS status = rig->Add();
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "quelvixcam info: device add failed with status 0x%08X\n", static_cast<unsigned>(status));
        return 1;
    }
    status = rig->Start();
    std::printf("device start: status %s\n", StatusText(status).c_str());
    std::printf("settings: registry store %s\n", registryPath.c_str());
    if (!NT_SUCCESS(status)) exitCode = 1;
    DeviceContext* context = rig->Context();
    sim::SimulatedCamera& camera = rig->Camera();
    std::printf("%s", camera.Summary().c_str());
    PrintPipes(context);
    sim::CameraCounters counters = camera.Counters();
    std::printf("start-up: %llu command packets received by the camera\n",
                static_cast<unsigned long long>(counters.commandsReceived));
    std::printf("frame: %ld x %lu delivered as %ld x %ld\n", static_cast<long>(context->frameWidth),
                static_cast<unsigned long>(context->frameHeight), static_cast<long>(context->outputWidth),
                static_cast<long>(context->outputHeight));
    PrintPool("while started");
    rig->Stop();
    rig->Remove();
    if (!rig->Close(&error)) {
        std::fprintf(stderr, "quelvixcam info: %s\n", error.c_str());
        exitCode = 1;
    }
    PrintPool("after removal");
    if (hostk::ViolationCount() != 0) exitCode = 1;
    if (tracePath && !camera.WriteTrace(std::string(tracePath))) {
        std::fprintf(stderr, "quelvixcam info: cannot write the trace to %s\n", tracePath);
        exitCode = 1;
    }
    return CheckPoolAfterUnplug("quelvixcam info", exitCode);
}
