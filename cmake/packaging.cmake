# What scripts/package.sh needs from a build tree, written into its packaging/
# folder at configure time:
#   package.env         name, version, system and library folder, read by the
#                       script (shell assignments)
#   debian/PACKAGE/     Linux: the control files of each Debian package, from
#                       packaging/debian/PACKAGE/ with the version, the
#                       architecture and the maintainer filled in
# The script installs the components of cmake/install.cmake into a staging
# folder per package and builds the .deb files with dpkg-deb and the zips with
# zip: CPack's Debian generator writes ldconfig calls into the library's
# maintainer scripts, and its archives cannot put the debug files into a zip
# of their own.
set(ONDREL_PACKAGE_MAINTAINER "the ondrel developers <ondrel@example.org>" CACHE STRING "Maintainer of the packages")
set(ONDREL_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)

set(ONDREL_DEB_ARCH "")
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ONDREL_PACKAGE_SYSTEM win64)
  else()
    set(ONDREL_PACKAGE_SYSTEM win32)
  endif()
else()
  set(ONDREL_PACKAGE_SYSTEM linux)
  find_program(ONDREL_DPKG dpkg)
  if(ONDREL_DPKG)
    execute_process(COMMAND ${ONDREL_DPKG} --print-architecture OUTPUT_VARIABLE ONDREL_DEB_ARCH
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  # One folder per package; a file NAME.in becomes NAME with @VARIABLES@ filled in.
  file(GLOB ondrel_deb_files CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/packaging/debian ${PROJECT_SOURCE_DIR}/packaging/debian/*/*)
  foreach(file IN LISTS ondrel_deb_files)
    string(REGEX REPLACE "\\.in$" "" target "${file}")
    if(target STREQUAL file)
      configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${file} ${ONDREL_PACKAGING_DIR}/debian/${target} COPYONLY)
    else()
      configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${file} ${ONDREL_PACKAGING_DIR}/debian/${target} @ONLY)
    endif()
  endforeach()
endif()

file(CONFIGURE OUTPUT ${ONDREL_PACKAGING_DIR}/package.env CONTENT "\
# Written by cmake/packaging.cmake; read by scripts/package.sh.
name=ondrel
version=@PROJECT_VERSION@
system=@ONDREL_PACKAGE_SYSTEM@
libdir='@CMAKE_INSTALL_LIBDIR@'
" @ONLY)
