# The WDK's side of test_layout: the probe (probe/wdk_layout_probe.cpp) is
# compiled by mingw-w64's g++ against its WDK headers with the Windows build's
# definitions, its layout section is copied out with objcopy, and its bytes
# become a source of test_layout. Nothing of it is linked for Windows or run
# under Wine. Included by tests/CMakeLists.txt once test_layout exists.

include(${PROJECT_SOURCE_DIR}/cmake/mingw-tools.cmake)
quelvix_require_mingw_tools("tests/layout, which compares the host headers with mingw-w64's WDK headers,")

include(${PROJECT_SOURCE_DIR}/cmake/windows-kernel-definitions.cmake)
set(layout_dir ${CMAKE_CURRENT_SOURCE_DIR}/layout)
set(probe_source ${layout_dir}/probe/wdk_layout_probe.cpp)
set(probe_object ${CMAKE_CURRENT_BINARY_DIR}/wdk_layout_probe.obj)
set(probe_section ${CMAKE_CURRENT_BINARY_DIR}/wdk_layout_probe.bin)
set(probe_table ${CMAKE_CURRENT_BINARY_DIR}/wdk_layout_table.cpp)
# The same sysroot as cmake/mingw-x86_64-kernel.cmake; the kernel headers are
# in its include/ddk, included as the platform's (system) headers.
set(mingw_ddk /usr/x86_64-w64-mingw32/include/ddk)
list(TRANSFORM QUELVIX_KERNEL_DEFINITIONS PREPEND -D OUTPUT_VARIABLE probe_definitions)

add_custom_command(OUTPUT ${probe_table}
  COMMAND ${QUELVIX_MINGW_CXX} -std=c++17 -fno-exceptions -fno-rtti -ffreestanding
          ${probe_definitions} -I${PROJECT_SOURCE_DIR} -isystem ${mingw_ddk}
          -MD -MF ${probe_object}.d -MT ${probe_table}
          -c ${probe_source} -o ${probe_object}
  COMMAND ${QUELVIX_MINGW_OBJCOPY} -O binary --only-section=.wdklay ${probe_object} ${probe_section}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${probe_section} -DOUTPUT=${probe_table}
          -P ${layout_dir}/section_to_source.cmake
  DEPENDS ${probe_source} ${layout_dir}/section_to_source.cmake
          ${PROJECT_SOURCE_DIR}/cmake/windows-kernel-definitions.cmake
  DEPFILE ${probe_object}.d
  COMMENT "Reading the WDK's layouts (mingw-w64)"
  VERBATIM)
target_sources(test_layout PRIVATE ${probe_table})
