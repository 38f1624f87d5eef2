// Self-registration: the COM class keys of every ServerClassTable entry and the
// KS proxy keys through which the proxy finds the extension and the page.
#pragma once

#include <windows.h>

// Writes (registering) or removes (unregistering) the class keys and tells the
// filter mapper about any filter data in the table.
HRESULT RegisterServers(bool registering);
