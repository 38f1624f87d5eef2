# Driver sources shared by the host library and the Windows .sys build.
file(GLOB QUELVIX_DRIVER_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/device/*.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb/*.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture/*.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera/*.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipeline/*.cpp)
