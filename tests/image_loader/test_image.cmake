# The image test_image_loader loads: test_driver/test_driver.c built by
# mingw-w64 as a native x86-64 image the way driver/windows links the real
# driver (entry DriverEntry, image base 0x140000000, .reloc kept by
# --dynamicbase), importing from "ntoskrnl.exe" and "ks.sys" through import
# libraries made from the .def files. ld writes its PE checksum. Nothing of
# it runs under Wine: the loader maps it into the test process. Included by
# tests/CMakeLists.txt once test_image_loader exists.

include(${PROJECT_SOURCE_DIR}/cmake/mingw-tools.cmake)
quelvix_require_mingw_tools("tests/image_loader, which builds its test image with mingw-w64,")

set(test_driver_dir ${CMAKE_CURRENT_SOURCE_DIR}/image_loader/test_driver)
set(test_driver_out ${CMAKE_CURRENT_BINARY_DIR}/image_loader_test_driver)
set(test_driver_image ${test_driver_out}/test_driver.sys)

add_custom_command(OUTPUT ${test_driver_image}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${test_driver_out}
  COMMAND ${QUELVIX_MINGW_DLLTOOL} -d ${test_driver_dir}/fake_ntoskrnl.def -l ${test_driver_out}/libfake_ntoskrnl.a
  COMMAND ${QUELVIX_MINGW_DLLTOOL} -d ${test_driver_dir}/fake_ks.def -l ${test_driver_out}/libfake_ks.a
  COMMAND ${QUELVIX_MINGW_CC} -O1 -ffreestanding -fno-stack-protector -mno-red-zone
          -c ${test_driver_dir}/test_driver.c -o ${test_driver_out}/test_driver.obj
  COMMAND ${QUELVIX_MINGW_CC} -nostdlib -nostartfiles
          -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000
          -Wl,--dynamicbase -Wl,--nxcompat
          -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 -Wl,--no-insert-timestamp
          ${test_driver_out}/test_driver.obj
          ${test_driver_out}/libfake_ntoskrnl.a ${test_driver_out}/libfake_ks.a
          -o ${test_driver_image}
  DEPENDS ${test_driver_dir}/test_driver.c ${test_driver_dir}/fake_ntoskrnl.def ${test_driver_dir}/fake_ks.def
  COMMENT "Building the image loader's test driver (mingw-w64)"
  VERBATIM)
add_custom_target(image_loader_test_driver DEPENDS ${test_driver_image})
add_dependencies(test_image_loader image_loader_test_driver)
target_compile_definitions(test_image_loader PRIVATE QUELVIX_TEST_DRIVER_IMAGE="${test_driver_image}")
target_link_libraries(test_image_loader PRIVATE host_image_loader)
