// Everything the driver may call on the host, under the WDK's own names.
#pragma once

#include "kernel/ntdef.h"
#include "kernel/pool.h"
#include "kernel/irql.h"
#include "kernel/dispatcher.h"
#include "kernel/io.h"
#include "kernel/threads.h"
#include "kernel/xstate.h"
#include "kernel/registry.h"
#include "usb/usb.h"
#include "ks/ks.h"
