#include "capture/capture_filter.h"

#include "device/device_context.h"

VOID SetFrameGeometry(DeviceContext* context, LONG width, LONG height) {
    if (ReadNoFence(&context->pinOpen)) return;
    context->settings.subSample = 0;
    context->settings.roiX = 0;
    context->settings.roiY = 0;
    context->settings.roiWidth = SensorWidth;
    context->settings.roiHeight = SensorHeight;
    context->frameWidth = width;
    context->frameHeight = static_cast<ULONG>(height);
    context->outputHeight = height;
    context->outputWidth = width & ~7;
}

// The filter's pins, dispatch and automation table are added with the capture
// pin; until then the factory offers a filter without pins.
const KSFILTER_DESCRIPTOR CaptureFilterDescriptor = {
    nullptr,                      // Dispatch
    nullptr,                      // AutomationTable
    KSFILTER_DESCRIPTOR_VERSION,  // Version
    0,                            // Flags
    nullptr,                      // ReferenceGuid
    0,                            // PinDescriptorsCount
    0,                            // PinDescriptorSize
    nullptr,                      // PinDescriptors
    0,                            // CategoriesCount
    nullptr,                      // Categories
    0,                            // NodeDescriptorsCount
    0,                            // NodeDescriptorSize
    nullptr,                      // NodeDescriptors
    0,                            // ConnectionsCount
    nullptr,                      // Connections
    nullptr,                      // ComponentId
};
