# Cross toolchain for x86_64 Windows kernel-mode images (the driver .sys) with
# mingw-w64. Kernel code links no C or C++ runtime (-nostdlib), so the thread
# model of the compiler does not matter: the default x86_64-w64-mingw32-g++ is
# taken, else whichever of the win32 or posix variants is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

find_program(QUELVIX_KERNEL_CXX NAMES
  x86_64-w64-mingw32-g++ x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++-posix
  REQUIRED)
set(CMAKE_CXX_COMPILER ${QUELVIX_KERNEL_CXX})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The compiler checks must not link a user-mode program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
