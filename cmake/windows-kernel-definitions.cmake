# The definitions the driver's sources are compiled with against the WDK
# headers: by the Windows build of the driver (driver/windows) and by the
# layout probe of the host tests (tests/layout), which must see the headers
# exactly as the .sys does.
#
# Windows 10 1709 and later, x64: the Camera setup class the INF installs
# into exists from 1709 on, and so the pool can be non-executable
# (NonPagedPoolNx, Windows 8 and later) without the opt-in dance.
set(QUELVIX_KERNEL_DEFINITIONS
  _AMD64_ _KERNEL_MODE
  _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000004)
