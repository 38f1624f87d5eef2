// What a device start costs per camera command, against one bare URB round
// trip through the host USB stack.
//
//   DeviceStart: the driver's start of a camera that is already added -
//     descriptors, configuration, DeviceStartup, the 946-write register
//     script and the settings load - each iteration one start (the stop
//     between starts is not timed). The counter "commands" is the number of
//     command packets one start sends.
//   BareUrbRoundTrip: one 64-byte bulk URB on the command pipe, sent as an
//     internal device-control IRP straight to the stack's physical device
//     object and waited for; no driver code on the way.
//
// The last line is "start-up per command / bare URB round trip = R": how many
// bare round trips one command of a start costs, i.e. the driver's and the
// start's overhead per packet on top of the stack.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "driver/camera/sensor_registers.h"
#include "driver/device/device_context.h"
#include "rig/plugged_camera.h"

#include "bench/recording_reporter.h"

namespace {

// A camera with the driver added above it (null when the add failed). The
// trace is not under test, so it is kept from growing.
std::unique_ptr<rig::PluggedCamera> AddedCamera() {
    rig::Options options;
    options.trace = sim::TraceOptions{};
    options.trace->recordFramePipe = false;
    options.trace->maxLines = 1;
    std::string error;
    std::unique_ptr<rig::PluggedCamera> plugged = rig::PluggedCamera::Make(options, &error);
    if (!plugged || plugged->Add() != STATUS_SUCCESS) return nullptr;
    return plugged;
}

double commandsPerStart = 0;

void DeviceStart(benchmark::State& state) {
    std::unique_ptr<rig::PluggedCamera> plugged = AddedCamera();
    if (!plugged) {
        state.SkipWithError("device add failed");
        return;
    }
    uint64_t starts = 0;
    const uint64_t before = plugged->Camera().Counters().commandsReceived;
    for (auto _ : state) {
        if (plugged->Start() != STATUS_SUCCESS) {
            state.SkipWithError("device start failed");
            break;
        }
        ++starts;
        state.PauseTiming();
        plugged->Stop();
        state.ResumeTiming();
    }
    if (starts) {
        commandsPerStart = static_cast<double>(plugged->Camera().Counters().commandsReceived - before) / starts;
        state.counters["commands"] = commandsPerStart;
    }
}
BENCHMARK(DeviceStart)->Unit(benchmark::kMillisecond)->UseRealTime();

NTSTATUS NTAPI UrbDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void BareUrbRoundTrip(benchmark::State& state) {
    std::unique_ptr<rig::PluggedCamera> plugged = AddedCamera();
    if (!plugged || plugged->Start() != STATUS_SUCCESS) {
        state.SkipWithError("device start failed");
        return;
    }
    DeviceContext* context = DeviceContextOf(plugged->Pnp().KsDevice());
    PUSBD_INTERFACE_INFORMATION info = context->link.interfaceInfo;
    if (!info) {
        state.SkipWithError("no configuration");
        return;
    }
    PDEVICE_OBJECT stack = plugged->Pnp().UsbStack().PhysicalDeviceObject();
    // The same bytes a script write sends: register 35 = 63.
    UCHAR packet[CommandPacketSize] = {};
    BuildSensorRegisterPacket(packet, 35, 63);
    URB urb;
    KEVENT done;
    for (auto _ : state) {
        RtlZeroMemory(&urb, sizeof urb);
        UsbBuildInterruptOrBulkTransferRequest(&urb, static_cast<USHORT>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)),
                                               info->Pipes[CommandPipe].PipeHandle, packet, nullptr, CommandPacketSize,
                                               USBD_SHORT_TRANSFER_OK, nullptr);
        PIRP irp = IoAllocateIrp(stack->StackSize, FALSE);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, UrbDone, &done, TRUE, TRUE, TRUE);
        IoCallDriver(stack, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        const bool ok = NT_SUCCESS(irp->IoStatus.Status) &&
                        urb.UrbBulkOrInterruptTransfer.TransferBufferLength == CommandPacketSize;
        IoFreeIrp(irp);
        if (!ok) {
            state.SkipWithError("bulk transfer failed");
            break;
        }
    }
    plugged->Stop();
}
BENCHMARK(BareUrbRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();


}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter(RecordingReporter::Clock::Real);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto start = reporter.seconds.find("DeviceStart");
    auto bare = reporter.seconds.find("BareUrbRoundTrip");
    if (start == reporter.seconds.end() || bare == reporter.seconds.end() || commandsPerStart <= 0 || bare->second <= 0) {
        std::printf("the ratio needs DeviceStart and BareUrbRoundTrip in the run\n");
        return 1;
    }
    const double perCommand = start->second / commandsPerStart;
    std::printf("commands per start = %.0f\n", commandsPerStart);
    std::printf("start-up per command = %.2f us, bare URB round trip = %.2f us\n", perCommand * 1e6, bare->second * 1e6);
    std::printf("start-up per command / bare URB round trip = %.2f\n", perCommand / bare->second);
    return 0;
}
