# The window program loader.exe (included from src/CMakeLists.txt on WIN32).

# What stands between the window and the end of the session or a crash while
# a library call runs; tested on its own under Wine.
add_library(windowguard STATIC
  ${CMAKE_CURRENT_LIST_DIR}/window/ShutdownGuard.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window/CallRecord_win32.cpp)
target_include_directories(windowguard PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/device)
target_link_libraries(windowguard PUBLIC downloadrecord)

add_executable(loader WIN32
  ${CMAKE_CURRENT_LIST_DIR}/Project1.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Unit1.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window/DeviceLibraryOrigin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../resources/loader.rc
)
set_target_properties(loader PROPERTIES
  OUTPUT_NAME loader
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
target_include_directories(loader PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}
  ${CMAKE_CURRENT_LIST_DIR}/../resources)
target_compile_options(loader PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-municode -finput-charset=UTF-8 -fexec-charset=UTF-8>)
# -Wl,--large-address-aware: 4 GiB of address space on 64-bit Windows instead
# of 2, so images of 1 GiB open (no code takes addresses as signed numbers).
target_link_options(loader PRIVATE -municode -Wl,--large-address-aware)
# Resources that the .rc pulls in, so a redrawn picture relinks.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/../resources/loader.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/../resources/loader.ico;${CMAKE_CURRENT_LIST_DIR}/../resources/images.bmp;${CMAKE_CURRENT_LIST_DIR}/../resources/images_mask.bmp;${CMAKE_BINARY_DIR}/generated/loader.manifest;${CMAKE_CURRENT_LIST_DIR}/../resources/resource.h;${CMAKE_CURRENT_LIST_DIR}/../resources/VersionInfo.rc")
target_link_libraries(loader PRIVATE widgets windowdownload windowguard fwcore fwl_version dfu_loaded)

# The program imports nothing from DFU.dll: it loads the library by its full
# path as it starts, so that no DFU.dll runs before the program has chosen it.
if(FWL_TESTS AND EXISTS ${CMAKE_SOURCE_DIR}/sim/test/check_exports.cmake)
  find_program(FWL_OBJDUMP NAMES ${CMAKE_OBJDUMP} i686-w64-mingw32-objdump)
  add_test(NAME app.imports
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${FWL_OBJDUMP} -DDLL=$<TARGET_FILE:DFU>
            -DEXE=$<TARGET_FILE:loader> -DIMPORTS=none -P ${CMAKE_SOURCE_DIR}/sim/test/check_exports.cmake)
endif()
