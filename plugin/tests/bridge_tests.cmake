# The plug-in against the real driver: the Windows test programs talk through
# the KS-proxy stand-in (support/bridged_filter.h) to `quelvixcam serve`, the
# host tool running the driver over the host stand-ins on the Linux side.
# Two servers in turn on one registry store in this build tree:
#
#   bridge.serve1.start  (fresh store)   fixture bridge_first
#     bridge.config, bridge.page_shows_driver_values, bridge.page_controls
#   bridge.serve1.stop   (exit status 0: settings saved)
#   bridge.store_holds_changes
#   bridge.serve2.start  (the saved store)  fixture bridge_second
#     bridge.new_page_shows_changes, page.screenshot.live, bridge.page_region
#   bridge.serve2.stop
#
# One at a time (RESOURCE_LOCK), in that order (DEPENDS): the tests build on
# what the one before left in the driver and the store.
set(QUELVIX_HOST_TOOL "${CMAKE_SOURCE_DIR}/build/tools/quelvixcam/quelvixcam" CACHE FILEPATH
  "quelvixcam of the host build, run as the bridge's server")

quelvix_test_program(plugin_bridge_tests bridged_config_test.cpp bridged_page_test.cpp)

set(bridge_dir ${CMAKE_BINARY_DIR}/bridge)
set(bridge_store ${bridge_dir}/camera.reg)
set(bridge_serve sh ${CMAKE_CURRENT_SOURCE_DIR}/bridge_serve.sh)
# The Windows programs see the Linux file system as drive Z:.
set(bridge_store_env QUELVIX_BRIDGE_STORE=Z:${bridge_store})

add_test(NAME bridge.serve1.start
  COMMAND ${bridge_serve} start ${QUELVIX_HOST_TOOL} ${bridge_store} ${bridge_dir}/first --fresh)
add_test(NAME bridge.serve1.stop COMMAND ${bridge_serve} stop ${bridge_dir}/first)
add_test(NAME bridge.serve2.start
  COMMAND ${bridge_serve} start ${QUELVIX_HOST_TOOL} ${bridge_store} ${bridge_dir}/second)
add_test(NAME bridge.serve2.stop COMMAND ${bridge_serve} stop ${bridge_dir}/second)
set_tests_properties(bridge.serve1.start PROPERTIES FIXTURES_SETUP bridge_first)
set_tests_properties(bridge.serve1.stop PROPERTIES FIXTURES_CLEANUP bridge_first)
set_tests_properties(bridge.serve2.start PROPERTIES FIXTURES_SETUP bridge_second
  DEPENDS bridge.store_holds_changes)
set_tests_properties(bridge.serve2.stop PROPERTIES FIXTURES_CLEANUP bridge_second)

# bridge_program_test(NAME GTEST_FILTER SERVER [DEPENDS...]): the test
# program's tests matching the filter, against the server SERVER (first,
# second, or none).
function(bridge_program_test name filter server)
  add_test(NAME bridge.${name} COMMAND plugin_bridge_tests --gtest_filter=${filter})
  set(environment ${bridge_store_env})
  if(NOT server STREQUAL "none")
    list(APPEND environment QUELVIX_BRIDGE_PORT_FILE=Z:${bridge_dir}/${server}/port)
    set_tests_properties(bridge.${name} PROPERTIES FIXTURES_REQUIRED bridge_${server})
  endif()
  set_tests_properties(bridge.${name} PROPERTIES ENVIRONMENT "${environment}")
  if(ARGN)
    set_tests_properties(bridge.${name} PROPERTIES DEPENDS "${ARGN}")
  endif()
endfunction()

bridge_program_test(config "BridgedConfig.*" first)
bridge_program_test(page_shows_driver_values BridgedPage.ShowsTheDriversValues first bridge.config)
bridge_program_test(page_controls BridgedPage.ControlsChangeTheDriver first
  bridge.page_shows_driver_values)
set_tests_properties(bridge.serve1.stop PROPERTIES DEPENDS bridge.page_controls)
bridge_program_test(store_holds_changes "SavedStore.*" none bridge.serve1.stop)
bridge_program_test(new_page_shows_changes BridgedPage.NewPageShowsTheSavedChanges second)
set(region_after bridge.new_page_shows_changes)

# The page on the real driver's values, photographed as plugin-page-live.png.
if(QUELVIX_SCREENSHOT)
  add_test(NAME page.screenshot.live
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/screenshot.sh
            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:page_snapshot>
            ${CMAKE_BINARY_DIR}/plugin-page-live.png --bridge)
  set_tests_properties(page.screenshot.live PROPERTIES RUN_SERIAL TRUE
    FIXTURES_REQUIRED bridge_second DEPENDS bridge.new_page_shows_changes
    ENVIRONMENT "QUELVIX_BRIDGE_PORT_FILE=Z:${bridge_dir}/second/port")
  set(region_after page.screenshot.live)
endif()
bridge_program_test(page_region BridgedPage.RegionSetThroughThePageReachesTheDriver second
  ${region_after})
set_tests_properties(bridge.serve2.stop PROPERTIES DEPENDS bridge.page_region)

get_property(bridge_tests DIRECTORY PROPERTY TESTS)
list(FILTER bridge_tests INCLUDE REGEX "^(bridge\\.|page\\.screenshot\\.live)")
quelvix_timeout(bridge_timeout 60)
set_tests_properties(${bridge_tests} PROPERTIES RESOURCE_LOCK plugin_bridge TIMEOUT ${bridge_timeout})
if(QUELVIX_SCREENSHOT)
  set_tests_properties(page.screenshot.live PROPERTIES TIMEOUT 120)
endif()
