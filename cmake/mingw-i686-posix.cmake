# Cross toolchain for i686 Windows with the mingw-w64 "posix" thread model.
set(QUELVIX_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-posix.cmake)
