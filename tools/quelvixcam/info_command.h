#pragma once

// quelvixcam info [--trace FILE] [--registry FILE]: plugs the simulated camera
// in, reports what the driver learnt and sent while adding and starting it,
// then unplugs it. The camera's settings come from and go back to the
// registry store (registry_option.h).
int RunInfoCommand(int argc, char** argv);
