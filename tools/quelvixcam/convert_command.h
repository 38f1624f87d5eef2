// quelvixcam convert: converts a raw Bayer dump with the driver's own image
// pipeline into a PNG or into the raw BGRA bytes the driver produces.
#pragma once

#include <cstdint>
#include <vector>

// argv holds the arguments after the word "convert". Returns the exit status:
// 0 on success, 2 for a usage error or an input that does not fit (not a
// regular file, too short for the geometry, the output's own file), 1 when
// the output cannot be written. Only the frame's lines are read.
int RunConvertCommand(int argc, char** argv);

// The same command between reading RAW and writing OUT: the options as in
// argv (--input and --output are required but neither file is opened) and
// the raw file's bytes in `raw`. Returns 0 with the frame's BGRA bytes in
// *bgra, top row first, or 2 after one error line, as the command does.
// (The convert fuzz target drives the command's checks through this.)
int ConvertRawBytes(int argc, char** argv, const std::vector<uint8_t>& raw, std::vector<uint8_t>* bgra);
