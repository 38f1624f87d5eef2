// Run by CTest after `regsvr32` and after `regsvr32 /u`: the registry must hold
// exactly the registered layout, then none of it.
#include <gtest/gtest.h>

#include "plugin_library.h"
#include "registry_expectations.h"

TEST(Registered, AllSixValuesHoldTheRegisteredData) { ExpectRegistered(PluginPath()); }

TEST(Unregistered, NoKeyOfTheLayoutRemains) { ExpectUnregistered(); }
