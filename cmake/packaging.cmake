# CPack: a Debian package of the Linux build, a zip of each Windows build.
# scripts/package.sh runs cpack in the build trees.
set(CPACK_PACKAGE_NAME ondrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the ondrel developers")
set(CPACK_PACKAGE_CONTACT "the ondrel developers <ondrel@example.org>" CACHE STRING "Maintainer of the packages")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "file checks for a host program, and a restricted launcher")
set(CPACK_PACKAGE_DESCRIPTION "\
The library libondrel has one function, AdvancedCheck(fileName, checkList): it
evaluates a comma-separated list of rules (file size, CRC-32, MD5 of the file,
of a byte range, of PE sections or resources, a value in an INI file) against a
file and answers 1 when every rule held, 0 otherwise.
This package holds the library with its header, CMake and pkg-config files,
the command-line tools and vespane, which starts one program with reduced
rights.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  # ondrel-1.0.0-win32.zip with the folder ondrel-1.0.0-win32 inside.
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  set(CPACK_STRIP_FILES OFF)  # the images are linked without symbols already
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The library's shlibs and symbols files and the ldconfig trigger (CPack
  # also writes ldconfig calls into postinst and postrm).
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/shlibs
    ${PROJECT_SOURCE_DIR}/packaging/debian/symbols
    ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Everything of a plain install but the plain manual pages and LICENSE; the
  # Debian copyright, changelog and compressed pages instead.
  set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/"
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")
endif()

include(CPack)
