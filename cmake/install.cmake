# What `cmake --install` puts in place, and the package files of both builds.
#
# Linux: lib/libondrel.so.1.0.0 with the links libondrel.so.1 and libondrel.so,
# include/ondrel.h, lib/cmake/ondrel (find_package(ondrel) -> ondrel::ondrel),
# lib/pkgconfig/ondrel.pc, the programs in bin/, their manual pages and the
# documents in share/doc/ondrel.
# Windows: bin/ondrel.dll, lib/libondrel.dll.a, include/ondrel.h, the programs
# in bin/, README.md and LICENSE at the top.
#
# Components: the unnamed default one holds the files every install gets;
# "license" the LICENSE file and "man" the plain manual pages (both also in a
# plain install); "debian" (only on request) the Debian copyright, changelog
# and gzipped manual pages, which the Debian package takes instead.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ONDREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ondrel)

# The library.
target_include_directories(ondrel INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS ondrel EXPORT ondrelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/ondrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The programs: the launcher and every program the tools folder defines.
get_property(ondrel_tool_targets DIRECTORY ${PROJECT_SOURCE_DIR}/tools PROPERTY BUILDSYSTEM_TARGETS)
set(ondrel_programs ${VESPANE_TARGET})
foreach(tool IN LISTS ondrel_tool_targets)
  get_target_property(type ${tool} TYPE)
  if(type STREQUAL "EXECUTABLE")
    list(APPEND ondrel_programs ${tool})
    # A tool that did not name itself gets a plain description.
    ondrel_add_version_resource(${tool} "ondrel command-line tool")
  endif()
endforeach()
install(TARGETS ${ondrel_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(ONDREL_TOOLS ${ondrel_programs})
list(REMOVE_ITEM ONDREL_TOOLS ${VESPANE_TARGET})

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT license)
else()
  # The CMake package configuration.
  install(EXPORT ondrelTargets NAMESPACE ondrel:: DESTINATION ${ONDREL_CMAKE_DIR})
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ondrelConfig.cmake.in
    ${PROJECT_BINARY_DIR}/ondrelConfig.cmake INSTALL_DESTINATION ${ONDREL_CMAKE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/ondrelConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/ondrelConfig.cmake ${PROJECT_BINARY_DIR}/ondrelConfigVersion.cmake
    DESTINATION ${ONDREL_CMAKE_DIR})

  # pkg-config: the prefix is found from the file's own place, so an installed
  # tree can be moved (or unpacked anywhere) and still be found.
  set(ONDREL_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH ONDREL_PC_TO_PREFIX /root/${ONDREL_PC_DIR} /root)
  string(REGEX REPLACE "/$" "" ONDREL_PC_TO_PREFIX "${ONDREL_PC_TO_PREFIX}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/ondrel.pc.in ${PROJECT_BINARY_DIR}/ondrel.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/ondrel.pc DESTINATION ${ONDREL_PC_DIR})

  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)

  # Manual pages: the written ones in man/ for the programs that exist, and any
  # page generated at build time into the build tree's man/ or tools/ folders
  # (a generated page replaces a written one of the same name).
  set(ondrel_written_pages)
  foreach(program IN LISTS ondrel_programs)
    get_target_property(name ${program} OUTPUT_NAME)
    if(NOT name)
      set(name ${program})
    endif()
    if(EXISTS ${PROJECT_SOURCE_DIR}/man/${name}.1)
      list(APPEND ondrel_written_pages ${PROJECT_SOURCE_DIR}/man/${name}.1)
    endif()
  endforeach()
  set(ONDREL_MAN_DIR ${PROJECT_BINARY_DIR}/man)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/install_man_pages.cmake.in ${PROJECT_BINARY_DIR}/install_man_pages.cmake @ONLY)
  install(CODE "set(ONDREL_MAN_GZIP OFF)\ninclude(\"${PROJECT_BINARY_DIR}/install_man_pages.cmake\")" COMPONENT man)
  install(CODE "set(ONDREL_MAN_GZIP ON)\ninclude(\"${PROJECT_BINARY_DIR}/install_man_pages.cmake\")" COMPONENT debian EXCLUDE_FROM_ALL)

  # Debian: the copyright file in place of LICENSE, and the changelog.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_BINARY_DIR}/debian/copyright COPYONLY)
  install(FILES ${PROJECT_BINARY_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
  install(CODE "
    execute_process(COMMAND gzip -9nc \"${PROJECT_SOURCE_DIR}/packaging/debian/changelog\"
      OUTPUT_FILE \"${PROJECT_BINARY_DIR}/debian/changelog.gz\" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR \"gzip of the changelog failed\")
    endif()
    file(INSTALL \"${PROJECT_BINARY_DIR}/debian/changelog.gz\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")"
    COMPONENT debian EXCLUDE_FROM_ALL)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/packaging.cmake)
