// Fuzz target: the device and configuration descriptors a camera presents,
// through the whole of device start. An input is what the camera answers to
// GET_DESCRIPTOR, laid out as a descriptor file (`--camera-fault
// descriptors=FILE`): the device descriptor's 18 bytes, then the
// configuration descriptor, unchecked. The camera behind them keeps its own
// pipes (0x01, 0x81, 0x82), as a device whose descriptors lie would.
//
// What must hold: a start either succeeds with the camera configured and the
// three pipes the driver indexes, answering a status query through them, or
// fails keeping nothing (no interface, no configuration copy); and after
// removal no pool block, system thread or broken platform rule is left.
#include <cstdint>
#include <cstring>

#include "driver/camera/property_set.h"
#include "driver/device/device_context.h"
#include "fuzz/support/fuzzed_driver.h"
#include "driver/usb/usb_link.h"

namespace {

constexpr const char* kTarget = "descriptors";
constexpr size_t kDeviceBytes = 18;

// A status query goes out on the command pipe and comes back on the reply
// pipe: a started device must have both working.
void AskForTriggerMode(hostks::KsFilter& filter) {
    CameraPropertyValue value{};
    value.Property.Set = CameraPropertySetId;
    value.Property.Id = PropertyExTrigger;
    value.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG returned = 0;
    NTSTATUS status = filter.SendPropertyRequest(&value, sizeof value, &value, sizeof value, &returned);
    if (status != STATUS_SUCCESS) fuzzing::Violated(kTarget, "a status query on a started camera failed", status);
    if (returned != sizeof value) fuzzing::Violated(kTarget, "a status query answered short", returned);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Begin();
    sim::DescriptorSet descriptors;
    const size_t deviceBytes = size < kDeviceBytes ? size : kDeviceBytes;
    descriptors.device.assign(data, data + deviceBytes);
    descriptors.configuration.assign(data + deviceBytes, data + size);

    fuzzing::FuzzedDriver driver;
    driver.Camera().SetDescriptors(descriptors);
    const NTSTATUS status = driver.Plug();
    std::unique_ptr<hostks::KsFilter> filter;
    if (NT_SUCCESS(status)) {
        DeviceContext* context = driver.Context();
        if (!driver.Camera().Configured()) fuzzing::Violated(kTarget, "started without configuring the camera");
        if (!context->link.interfaceInfo || context->link.interfaceInfo->NumberOfPipes < 3)
            fuzzing::Violated(kTarget, "started without the camera's three pipes");
        if (hostks::KsFilter::Open(driver.Pnp(), &filter) != STATUS_SUCCESS)
            fuzzing::Violated(kTarget, "a started camera's filter would not open");
        AskForTriggerMode(*filter);
    } else if (DeviceContext* context = driver.Context()) {
        if (context->link.interfaceInfo) fuzzing::Violated(kTarget, "a failed start kept its interface", status);
        if (context->link.configurationDescriptor)
            fuzzing::Violated(kTarget, "a failed start kept its configuration", status);
    }
    driver.Finish(kTarget, nullptr, &filter);
    return 0;
}
