# Cross toolchain for Windows with the mingw-w64 "posix" thread model, for the
# processor a per-architecture toolchain file names in QUELVIX_MINGW_ARCH
# (mingw-x86_64-posix.cmake, mingw-i686-posix.cmake).
# The posix variant is needed because GoogleTest uses std::mutex, which the
# win32-thread-model compilers of this mingw-w64 release do not provide.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QUELVIX_MINGW_ARCH})

set(CMAKE_C_COMPILER ${QUELVIX_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUELVIX_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${QUELVIX_MINGW_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUELVIX_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs are Windows executables; CTest runs them through Wine.
# Only set when not given on the command line, so a caller can substitute its own runner.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-emu.sh)
endif()
