#pragma once

// quelvixcam serve: the capture filter's property requests over TCP, for
// programs outside this process (the plug-in's tests under Wine among
// them). The wire format is in property_wire.h and the README.
int RunServeCommand(int argc, char** argv);
