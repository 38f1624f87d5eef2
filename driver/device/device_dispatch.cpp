#include "driver/device/device_dispatch.h"

#include "driver/camera/camera_commands.h"
#include "driver/camera/sensor_script.h"
#include "driver/camera/settings_store.h"
#include "driver/capture/capture_filter.h"
#include "driver/capture/capture_worker.h"
#include "driver/device/device_context.h"
#include "driver/device/pool_tags.h"
#include "driver/usb/firmware_record.h"

namespace {

// The capture worker, added to the device's bag. Called with the device
// mutex held: the device's bag may be changed only under it.
VOID CreateWorker(PKSDEVICE device, DeviceContext* context) {
    CaptureWorker* worker = AllocateCaptureWorker(context);
    if (!worker) return;
    if (!NT_SUCCESS(KsAddItemToObjectBag(device->Bag, worker, FreeCaptureWorker))) {
        FreeCaptureWorker(worker);
        return;
    }
    context->worker = worker;
}

// Creates the capture filter factory and, the first time, the worker.
VOID CreateFilterFactoryAndWorker(PKSDEVICE device, DeviceContext* context) {
    KsAcquireDevice(device);
    static WCHAR referenceString[] = {'G', 'L', 'O', 'B', 'A', 'L', 0};
    NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &CaptureFilterDescriptor,
                                            referenceString, nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr,
                                            nullptr);
    // A restart after a stop keeps the worker it has: it is idle while no pin
    // exists, and a second one would only sit in the bag until removal.
    if (NT_SUCCESS(status) && !device->Started && !context->worker) CreateWorker(device, context);
    KsReleaseDevice(device);
}

}  // namespace

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device) {
    PAGED_CODE();
    DeviceContext* context = DeviceContext::Allocate(device);
    if (!context) return STATUS_INSUFFICIENT_RESOURCES;
    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, DeviceContext::Free);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        DeviceContext::Free(context);
        return status;
    }
    device->Context = context;
    InitializeDeviceContext(context, device);
    return STATUS_SUCCESS;
}

VOID InitializeDeviceContext(DeviceContext* context, PKSDEVICE device) {
    PAGED_CODE();
    context->bayerPhaseBase = 0;
    context->cameraReady = FALSE;
    context->firmwareSent = FALSE;
    RtlZeroMemory(&context->link, sizeof context->link);
    RtlZeroMemory(&context->settings, sizeof context->settings);
    RtlZeroMemory(context->sensorRegisters, sizeof context->sensorRegisters);
    context->link.physicalDeviceObject = device->PhysicalDeviceObject;
    context->link.lowerDeviceObject = device->NextDeviceObject;
    context->link.functionalDeviceObject = device->FunctionalDeviceObject;
    context->settings.bayerPhase = context->bayerPhaseBase;
    SetDefaultSettings(&context->settings);
    SetFrameGeometry(context, SensorWidth, SensorHeight);
    ExInitializeFastMutex(&context->commandLock);
    KeInitializeSpinLock(&context->link.chunkLock);
    KeInitializeEvent(&context->link.readsDone, NotificationEvent, FALSE);
    KeInitializeSpinLock(&context->link.interfaceLock);
    KeInitializeEvent(&context->link.interfaceIdle, NotificationEvent, FALSE);
    RtlZeroMemory(context->registerCommand, sizeof context->registerCommand);
    RtlZeroMemory(context->frameCommand, sizeof context->frameCommand);
    RtlZeroMemory(context->captureCommand, sizeof context->captureCommand);
}

// Nothing may be sent to the device before it is started, so the firmware
// goes first in the first start. A failed download is not the start's
// failure: a camera without firmware does not answer the descriptor
// requests that follow, and those decide.
static VOID SendFirmwareOnce(DeviceContext* context) {
    if (context->firmwareSent) return;
    context->firmwareSent = TRUE;
    DownloadFirmware(&context->link, FirmwareImage1);
    DownloadFirmware(&context->link, FirmwareImage2);
}

NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    DeviceContext* context = DeviceContextOf(device);
    InterlockedExchange(&context->cameraReady, FALSE);
    SendFirmwareOnce(context);
    if (!device->Started) CreateFilterFactoryAndWorker(device, context);
    // A configuration still held from an earlier start is released, not
    // dropped: the start reads it afresh.
    ReleaseConfiguration(&context->link);
    NTSTATUS status = ReadDeviceDescriptor(&context->link);
    if (NT_SUCCESS(status)) status = ReadConfiguration(&context->link);
    // No Stop follows a failed start (the device is removed instead), so the
    // start gives back at once what the configuration step got. The filter
    // factory and the worker stay: the streaming class and the device bag
    // free them at removal.
    if (!NT_SUCCESS(status)) ReleaseConfiguration(&context->link);
    SendDeviceStartup(context);
    RunSensorScript(context);
    LoadSettings(context);
    if (NT_SUCCESS(status)) InterlockedExchange(&context->cameraReady, TRUE);
    return status;
}

VOID NTAPI DeviceStop(PKSDEVICE device, PIRP) {
    DeviceContext* context = DeviceContextOf(device);
    InterlockedExchange(&context->cameraReady, FALSE);
    SaveSettings(context);
    ReleaseConfiguration(&context->link);
    Deconfigure(&context->link);
}
