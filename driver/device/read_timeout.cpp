#include "driver/device/read_timeout.h"

LONG volatile ReadTimeout = DefaultReadTimeout;
