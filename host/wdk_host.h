// Everything the driver may call on the host, under the WDK's own names.
#pragma once

#include "host/kernel/ntdef.h"
#include "host/kernel/pool.h"
#include "host/kernel/irql.h"
#include "host/kernel/dispatcher.h"
#include "host/kernel/io.h"
#include "host/kernel/threads.h"
#include "host/kernel/xstate.h"
#include "host/kernel/registry.h"
#include "host/usb/usb.h"
#include "host/ks/ks.h"
