// The few C++ language-support routines g++ expects from its runtime, for a
// kernel image that links no C or C++ runtime library.
//
// Driver objects are created with placement new on pool memory and released
// with ExFreePoolWithTag under their own tag. The global operator delete below
// is only what the compiler's deleting destructors of classes with virtual
// destructors refer to; it returns the block to the pool should it ever run.
#include "driver/windows/wdk_windows.h"

#include <stddef.h>

extern "C" int __cdecl _purecall(void);  // ntoskrnl.exe: stops the system

// A call through a pure virtual slot is a driver bug; report it the way the
// kernel does for drivers built with the Microsoft compiler.
extern "C" void __cxa_pure_virtual(void)
{
    _purecall();
}

extern "C" void __cxa_deleted_virtual(void)
{
    _purecall();
}

void operator delete(void* block) noexcept
{
    if (block != nullptr) {
        ExFreePool(block);
    }
}

void operator delete(void* block, size_t) noexcept
{
    if (block != nullptr) {
        ExFreePool(block);
    }
}

void operator delete[](void* block) noexcept
{
    if (block != nullptr) {
        ExFreePool(block);
    }
}

void operator delete[](void* block, size_t) noexcept
{
    if (block != nullptr) {
        ExFreePool(block);
    }
}
