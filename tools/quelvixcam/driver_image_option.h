#pragma once

// --driver-image PATH, which every subcommand takes: the camera is plugged in
// with the Windows driver image at PATH (QuelvixZ51RDS.sys) loaded into this
// process, instead of the host build of the driver linked into the tool.

// Takes the option out of argv[0..*argc) (the subcommand's arguments) and
// loads the image. False after printing one line prefixed with `tool` when
// the option has no value, is given twice, or the image cannot be loaded.
bool TakeDriverImageOption(const char* tool, int* argc, char** argv);
