#pragma once

// quelvixcam info [--trace FILE]: plugs the simulated camera in, reports what
// the driver learnt and sent while adding and starting it, then unplugs it.
int RunInfoCommand(int argc, char** argv);
