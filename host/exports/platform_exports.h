// The routines the host platform exports to a driver image, by module and
// name, as the kernel's loader finds them in ntoskrnl.exe, ks.sys and
// USBD.SYS. Every one takes the Windows x64 calling convention.
#pragma once

namespace hostexports {

// The routine `module`!`name` (module compared without regard to case, as
// Windows compares module names), or nullptr when the platform does not
// provide it.
void* PlatformExport(const char* module, const char* name);

}  // namespace hostexports
