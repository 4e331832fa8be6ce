# What `cmake --install` puts in place, by component:
#
#   runtime  the shared library: lib/libondrel.so.1.2.0 (the version) with its SONAME link
#            libondrel.so.1 (Linux); bin/ondrel.dll (Windows)
#   dev      include/ondrel.h; Linux: the link lib/libondrel.so, lib/cmake/ondrel
#            (find_package(ondrel) -> ondrel::ondrel) and lib/pkgconfig/ondrel.pc;
#            Windows: the import libraries lib/libondrel.dll.a (mingw-w64) and
#            lib/ondrel.lib (Microsoft's short import format)
#   tools    the programs in bin/: vespane (Vespane.exe) and the tools; on Linux
#            ondrel-check is a two-line script that runs "ondrel check"
#            (Windows: a program of a few KB that does the same)
#   man      the programs' manual pages (Linux)
#   doc      README.md and CHANGELOG.md in share/doc/ondrel (Windows: README.md
#            at the top)
#   license  LICENSE beside them
#
# A plain install takes every component. scripts/package.sh takes them one at a
# time into the Debian packages (configured with the prefix /usr, where lib is
# Debian's multiarch folder lib/x86_64-linux-gnu) and into the zips.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ONDREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ondrel)

# The library.
target_include_directories(ondrel INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS ondrel EXPORT ondrelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/ondrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(ONDREL_MSVC_IMPORT_LIBRARY)
  install(FILES ${ONDREL_MSVC_IMPORT_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
endif()

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
set(ONDREL_TOOLS ${ondrel_programs})
list(REMOVE_ITEM ONDREL_TOOLS ${VESPANE_TARGET})
set(ondrel_installed_programs ${ondrel_programs})
if(NOT WIN32 AND TARGET ondrel-check AND TARGET ondrel_tool)
  # ondrel-check is "ondrel check": installed as a script that runs the
  # ondrel beside it, rather than as a second copy of the same program.
  list(REMOVE_ITEM ondrel_installed_programs ondrel-check)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/alias/ondrel-check
    INPUT ${CMAKE_CURRENT_LIST_DIR}/ondrel-check.in)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/alias/ondrel-check DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
elseif(WIN32 AND TARGET ondrel-check AND TARGET ondrel_tool)
  # Windows runs no script by a program's name: there ondrel-check.exe is a
  # program of a few KB that runs the ondrel.exe beside it (no C runtime,
  # kernel32 alone). The full ondrel-check stays in bin/ for the tests.
  list(REMOVE_ITEM ondrel_installed_programs ondrel-check)
  add_executable(ondrel_check_alias ${PROJECT_SOURCE_DIR}/tools/cli/ondrel_check_win.cpp)
  set_target_properties(ondrel_check_alias PROPERTIES OUTPUT_NAME ondrel-check
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/alias)
  target_link_libraries(ondrel_check_alias PRIVATE ondrel_options kernel32)
  # -g: like every image of the zips, it has its debug information in the -dbg zip
  # (the others get theirs from the static runtime at least).
  target_compile_options(ondrel_check_alias PRIVATE -g -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-stack-protector -fno-tree-loop-distribute-patterns)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(ondrel_alias_entry _OndrelCheckStart)  # i686 C names carry an underscore
  else()
    set(ondrel_alias_entry OndrelCheckStart)
  endif()
  target_link_options(ondrel_check_alias PRIVATE -nostdlib -nostartfiles -Wl,--entry,${ondrel_alias_entry})
  ondrel_add_version_resource(ondrel_check_alias "ondrel check-list tracer")
  install(PROGRAMS $<TARGET_FILE:ondrel_check_alias> DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
install(TARGETS ${ondrel_installed_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT doc)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT license)
else()
  # The CMake package configuration.
  install(EXPORT ondrelTargets NAMESPACE ondrel:: DESTINATION ${ONDREL_CMAKE_DIR} COMPONENT dev)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ondrelConfig.cmake.in
    ${PROJECT_BINARY_DIR}/ondrelConfig.cmake INSTALL_DESTINATION ${ONDREL_CMAKE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/ondrelConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/ondrelConfig.cmake ${PROJECT_BINARY_DIR}/ondrelConfigVersion.cmake
    DESTINATION ${ONDREL_CMAKE_DIR} COMPONENT dev)

  # pkg-config: written when the prefix is known, at install time (see
  # cmake/install_pkgconfig.cmake.in).
  set(ONDREL_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/install_pkgconfig.cmake.in ${PROJECT_BINARY_DIR}/install_pkgconfig.cmake @ONLY)
  install(CODE "include(\"${PROJECT_BINARY_DIR}/install_pkgconfig.cmake\")" COMPONENT dev)

  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
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
  install(CODE "include(\"${PROJECT_BINARY_DIR}/install_man_pages.cmake\")" COMPONENT man)
endif()

# Everything an install takes and nothing else (no test programs): what the
# packages need, and all a build whose tests cannot run here needs.
add_custom_target(ondrel_products)
add_dependencies(ondrel_products ondrel ${ondrel_programs})
if(TARGET ondrel_check_alias)
  add_dependencies(ondrel_products ondrel_check_alias)
endif()
if(TARGET ondrel_man)
  add_dependencies(ondrel_products ondrel_man)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/packaging.cmake)
