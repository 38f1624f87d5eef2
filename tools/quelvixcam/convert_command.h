// quelvixcam convert: converts a raw Bayer dump with the driver's own image
// pipeline into a PNG or into the raw BGRA bytes the driver produces.
#pragma once

// argv holds the arguments after the word "convert". Returns the exit status:
// 0 on success, 2 for a usage error or an input that does not fit, 1 when the
// output cannot be written.
int RunConvertCommand(int argc, char** argv);
