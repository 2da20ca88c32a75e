# The download's end-to-end test e2e.download: bin/loader.exe with the scripted
# stand-in DFU.dll. Its source is not named *_test.cpp, because the unit tests
# already have an executable download_test.
add_executable(e2e_download ${CMAKE_CURRENT_LIST_DIR}/download_e2e.cpp)
target_link_libraries(e2e_download PRIVATE e2edriver gtest gtest_main)
foreach(dep loader DFU)
  if(TARGET ${dep})
    add_dependencies(e2e_download ${dep})
  endif()
endforeach()
add_test(NAME e2e.download COMMAND e2e_download)
# Several program runs, one of them with a 16 MiB image.
set_tests_properties(e2e.download PROPERTIES
  RESOURCE_LOCK wineprefix
  TIMEOUT 900
  ENVIRONMENT "FWL_E2E_BIN=${E2E_BIN_WIN};FWL_E2E_SHOTS=${E2E_SHOTS_WIN}")
