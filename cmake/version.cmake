# The one version: project(... VERSION) in the top-level CMakeLists.txt. Programs
# read it from the generated header ondrel_version.h (target ondrel_version);
# Windows images carry it in a VERSIONINFO resource.

set(ONDREL_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/ondrel_version.h.in ${ONDREL_GENERATED_DIR}/ondrel_version.h @ONLY)
add_library(ondrel_version INTERFACE)
target_include_directories(ondrel_version INTERFACE ${ONDREL_GENERATED_DIR})

set(ONDREL_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# ondrel_add_version_resource(TARGET DESCRIPTION): gives a Windows program or
# DLL its version resource (FileVersion, ProductVersion, FileDescription,
# OriginalFilename, CompanyName and ProductName). Elsewhere it does nothing.
# A second call for the same target changes nothing.
function(ondrel_add_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(done ${target} ONDREL_VERSION_RESOURCE)
  if(done)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(ONDREL_RC_FILETYPE VFT_APP)
  elseif(type STREQUAL "SHARED_LIBRARY")
    set(ONDREL_RC_FILETYPE VFT_DLL)
  else()
    message(FATAL_ERROR "ondrel_add_version_resource: ${target} is neither a program nor a DLL")
  endif()
  set(ONDREL_RC_TARGET ${target})
  set(ONDREL_RC_DESCRIPTION "${description}")
  set(dir ${PROJECT_BINARY_DIR}/version-resources)
  # The file name comes from the target as built, so it is filled in at generation time.
  configure_file(${ONDREL_VERSION_RC_TEMPLATE} ${dir}/${target}.rc.in @ONLY)
  file(GENERATE OUTPUT ${dir}/${target}.rc INPUT ${dir}/${target}.rc.in)
  set_source_files_properties(${dir}/${target}.rc PROPERTIES GENERATED TRUE)
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
  set_target_properties(${target} PROPERTIES ONDREL_VERSION_RESOURCE ON)
endfunction()
