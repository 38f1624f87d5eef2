#pragma once

#include <string>
#include <vector>

#include "host/ks/ks_client.h"

// quelvixcam get [--registry FILE] [NAME...]: prints NAME=VALUE for the named
// properties of the camera, or for every readable one in id order.
int RunGetCommand(int argc, char** argv);

// quelvixcam set [--registry FILE] NAME=VALUE...: applies each through a
// property request, in order, then prints the named properties that can be
// read, read back. Roi=SUB,X,Y,W,H; SendCommand20=0.
int RunSetCommand(int argc, char** argv);

// One NAME=VALUE of a set, parsed and checked against the property table.
struct PropertyAssignment {
    unsigned long id = 0;
    std::string name;
    long values[5] = {};  // Roi: subsample, x, y, width, height; else values[0]
};

// Parses NAME=VALUE; false with one error line in `error`.
bool ParsePropertyAssignment(const std::string& text, PropertyAssignment* assignment, std::string* error);

// Sends the set on an open filter; false with one error line in `error`.
bool ApplyPropertyAssignment(hostks::KsFilter& filter, const PropertyAssignment& assignment, std::string* error);
