# Cross toolchain for x86_64 Windows with the mingw-w64 "posix" thread model.
set(QUELVIX_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-posix.cmake)
