# The language standard and the warnings of every CMake project here: the host
# tree (with its tests, tools, fuzz targets and benchmarks), the Windows driver
# image (driver/windows) and the plug-in (plugin). Each includes this file
# right after its project() call; targets add only what is theirs (the
# kernel's code generation options, the plug-in's static runtime).
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# Pool tags and four-character codes are multi-character constants on
# purpose, and callbacks with fixed signatures leave parameters unused. A
# function that can fall off its end without a value is always a fault.
set(QUELVIX_WARNINGS -Wall -Wextra -Wno-multichar -Wno-unused-parameter -Werror=return-type)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # Brace elision and class/struct mixing are fine in C++; only clang warns.
  list(APPEND QUELVIX_WARNINGS -Wno-missing-braces -Wno-mismatched-tags)
endif()
# C and C++ only: the plug-in's resource compiler takes no warning options.
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${QUELVIX_WARNINGS}>")
