# zlib: Debian's libz-mingw-w64-dev for Windows, zlib1g-dev natively (static where we can).
if(RW_WINDOWS)
  find_library(RW_ZLIB_STATIC NAMES libz.a REQUIRED)
  add_library(rw_zlib STATIC IMPORTED)
  set_target_properties(rw_zlib PROPERTIES IMPORTED_LOCATION ${RW_ZLIB_STATIC})
else()
  find_package(ZLIB REQUIRED)
  add_library(rw_zlib INTERFACE)
  target_link_libraries(rw_zlib INTERFACE ZLIB::ZLIB)
endif()

# GoogleTest from the sources of Debian's googletest package, built for each preset.
set(RW_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${RW_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)
