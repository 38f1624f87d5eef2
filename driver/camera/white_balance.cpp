// Switching the automatic white balance, which runs inside the frame
// conversion of the image pipeline.
#include "driver/camera/white_balance.h"

#include "driver/device/device_context.h"
#include "driver/pipeline/image_pipeline.h"

VOID SwitchAutoWhiteBalance(DeviceContext* context, LONG on) {
    context->settings.whiteBalance = on;
    // Without a pipeline (no pin acquired) only the setting changes; the pin
    // hands it to the pipeline it creates.
    ImagePipeline* pipeline = context->pipeline;
    if (!pipeline) return;
    SetWhiteBalance(pipeline, on);
    if (!on) {
        // The conversion published the gains it measured on every frame;
        // they become the manual gains, so switching off keeps the picture's
        // balance and the settings save stores what the user sees.
        context->settings.redGain = GetRedGain(pipeline);
        context->settings.greenGain = GetGreenGain(pipeline);
        context->settings.blueGain = GetBlueGain(pipeline);
    }
}
