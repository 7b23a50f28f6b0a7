# The Windows cross build's dependencies, under the same target names the
# Linux side imports from Debian's packages: libzip::zip,
# nlohmann_json::nlohmann_json, GTest::gtest, GTest::gtest_main (and
# GTest::gmock, GTest::gmock_main). ZLIB::ZLIB comes from find_package(ZLIB)
# in dependencies.cmake. Whatever is built lands in the build tree's _deps.
set(TESSEL_DEPS_DIR ${CMAKE_BINARY_DIR}/_deps)

if(NOT ZLIB_LIBRARY MATCHES "\\.a$" OR NOT EXISTS "${ZLIB_LIBRARY}")
  message(FATAL_ERROR "The static mingw zlib (libz.a) was not found (got '${ZLIB_LIBRARY}'); "
                      "install libz-mingw-w64-dev")
endif()

# --- libzip -----------------------------------------------------------------
# Built at configure time so the imported target exists before any of ours
# refer to it. The script does nothing when the build tree already has it.
set(_tessel_libzip_script ${PROJECT_SOURCE_DIR}/scripts/build-libzip-mingw)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_tessel_libzip_script})
execute_process(
  COMMAND ${_tessel_libzip_script} ${TESSEL_DEPS_DIR} ${CMAKE_TOOLCHAIN_FILE} ${ZLIB_LIBRARY}
          ${ZLIB_INCLUDE_DIR}
  RESULT_VARIABLE _tessel_libzip_result)
if(NOT _tessel_libzip_result EQUAL 0)
  message(FATAL_ERROR "Building libzip for mingw-w64 failed (${_tessel_libzip_result})")
endif()
# The toolchain re-roots package searches under the mingw sysroot; this one
# lives in the build tree.
find_package(libzip CONFIG REQUIRED PATHS ${TESSEL_DEPS_DIR}/libzip-install NO_DEFAULT_PATH
             NO_CMAKE_FIND_ROOT_PATH)
# Its exported target links ZLIB::ZLIB (the static libz.a found above) and
# advapi32; its zipconf.h defines ZIP_STATIC, which keeps the declarations
# free of dllimport.

# --- nlohmann-json ----------------------------------------------------------
# Header only. A private folder holding just a link to the headers, because
# adding the host's /usr/include would hand glibc's headers to the cross
# compiler.
find_path(TESSEL_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH)
if(NOT TESSEL_NLOHMANN_INCLUDE)
  message(FATAL_ERROR "nlohmann/json.hpp was not found; install nlohmann-json3-dev")
endif()
set(_tessel_json_include ${TESSEL_DEPS_DIR}/nlohmann-include)
if(NOT EXISTS ${_tessel_json_include}/nlohmann/json.hpp)
  file(MAKE_DIRECTORY ${_tessel_json_include})
  file(CREATE_LINK ${TESSEL_NLOHMANN_INCLUDE}/nlohmann ${_tessel_json_include}/nlohmann SYMBOLIC)
endif()
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                                              ${_tessel_json_include})

# --- GoogleTest -------------------------------------------------------------
# From Debian's sources, with its own flags: our warning set lives on
# tessel_warnings only. SYSTEM makes its headers system headers for our
# targets, as the imported targets are on Linux.
set(INSTALL_GTEST OFF CACHE BOOL "GoogleTest is only linked into our tests" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "Build gmock beside gtest" FORCE)
add_subdirectory(/usr/src/googletest ${TESSEL_DEPS_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# --- running the executables ------------------------------------------------
# Tests run under Wine with one prefix per build tree, so build trees do not
# share registry or profile state. The prefix is created on first use.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run --prefix
                                  ${CMAKE_BINARY_DIR}/wine-prefix)

include(${CMAKE_CURRENT_LIST_DIR}/windows-manifest.cmake)
