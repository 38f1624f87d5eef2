#pragma once

// quelvixcam capture [--frames N] [--output DIR|-] [--scene SCENE]
// [--camera-fps FPS] [--registry FILE] [--quiet]: plugs the simulated camera
// in, streams N frames through the driver's capture pin with the client API,
// writes them as PNG files or raw BGRA, and unplugs it.
int RunCaptureCommand(int argc, char** argv);
