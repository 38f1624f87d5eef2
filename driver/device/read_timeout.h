// The frame-read wait in milliseconds. One value for the whole driver, shared
// by every camera: it changes together with a device's `timeout` setting and
// is read atomically by the frame read.
#pragma once

#include "driver/wdk.h"

extern LONG volatile ReadTimeout;

constexpr LONG DefaultReadTimeout = 3000;
