# The mingw-w64 x86-64 tools host builds use to make Windows objects at build
# time (the WDK layout probe, the image loader's test image): found once, and
# a missing one stops the configure naming what needs it and the packages
# scripts/setup-host.sh installs.
function(quelvix_require_mingw_tools purpose)
  find_program(QUELVIX_MINGW_CC NAMES
    x86_64-w64-mingw32-gcc x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc-win32)
  find_program(QUELVIX_MINGW_CXX NAMES
    x86_64-w64-mingw32-g++ x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-win32)
  find_program(QUELVIX_MINGW_OBJCOPY NAMES x86_64-w64-mingw32-objcopy)
  find_program(QUELVIX_MINGW_DLLTOOL NAMES x86_64-w64-mingw32-dlltool)
  foreach(tool QUELVIX_MINGW_CC QUELVIX_MINGW_CXX QUELVIX_MINGW_OBJCOPY QUELVIX_MINGW_DLLTOOL)
    if(NOT ${tool})
      message(FATAL_ERROR "${purpose} needs mingw-w64's x86-64 gcc, g++, objcopy and dlltool: "
        "scripts/setup-host.sh installs them (g++-mingw-w64-x86-64-posix, mingw-w64-x86-64-dev, "
        "binutils-mingw-w64-x86-64)")
    endif()
  endforeach()
endfunction()
