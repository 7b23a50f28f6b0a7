# Linux takes everything from Debian's packages. The Windows cross build takes
# zlib from libz-mingw-w64-dev, libzip from a build of Debian's source package
# into the build tree (scripts/build-libzip-mingw), and header-only
# nlohmann-json through a private include folder so the host's /usr/include
# never reaches the cross compiler.

# Windows executables are linked statically: no zlib1.dll to ship beside them.
if(WIN32)
  set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(ZLIB REQUIRED)
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows-deps.cmake)
else()
  # pkg-config, not libzip's CMake package: Debian's package config names the
  # zipcmp/zipmerge/ziptool programs, which live in packages we do not need.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
  add_library(libzip::zip ALIAS PkgConfig::LIBZIP)
  find_package(nlohmann_json 3 REQUIRED)
  find_package(GTest REQUIRED)
endif()
