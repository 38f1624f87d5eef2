#include "module.h"

namespace {

HINSTANCE g_instance = nullptr;
volatile LONG g_liveObjects = 0;
// Interlocked like the object count: with the "Both" threading model LockServer
// can be called from several apartments at once, and a plain increment could lose
// a lock and let the library be unloaded under a client.
volatile LONG g_locks = 0;

}  // namespace

namespace module {

HINSTANCE Instance() { return g_instance; }
void SetInstance(HINSTANCE instance) { g_instance = instance; }

void ObjectCreated() { InterlockedIncrement(&g_liveObjects); }
void ObjectDestroyed() { InterlockedDecrement(&g_liveObjects); }

void Lock() { InterlockedIncrement(&g_locks); }
void Unlock() { InterlockedDecrement(&g_locks); }

bool InUse() { return g_locks > 0 || g_liveObjects != 0; }

}  // namespace module
