#include "driver/camera/sensor_script.h"

#include "driver/camera/sensor_registers.h"

VOID RunSensorScript(DeviceContext* context) {
    PAGED_CODE();
    // No waits, reads or retries: a write the camera refuses is skipped and
    // the start goes on with the rest, so one bad packet cannot leave the
    // sensor half-programmed. The shadow records every value either way.
    for (ULONG run = 0; run < SensorScriptRunCount; ++run) {
        const SensorScriptRun& r = SensorScriptRuns[run];
        for (ULONG k = 0; k < r.writeCount; ++k) {
            WriteSensorRegister(context, r.firstRegister + k, r.values[k]);
        }
    }
}
