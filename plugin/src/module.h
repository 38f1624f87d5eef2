// Module-wide state of the plug-in library: its instance handle and the two
// counts that decide when the library may be unloaded.
#pragma once

#include <windows.h>

namespace module {

// Recorded at process attach; used for the module path and the resources.
HINSTANCE Instance();
void SetInstance(HINSTANCE instance);

// Live objects derived from CBaseObject (objects, pages and class factories).
void ObjectCreated();
void ObjectDestroyed();

// Balance of IClassFactory::LockServer calls.
void Lock();
void Unlock();

// True while any object is alive or a server lock is held.
bool InUse();

}  // namespace module
