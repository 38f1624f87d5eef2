#include "read_timeout.h"

LONG volatile ReadTimeout = DefaultReadTimeout;
