# Project-wide build helpers: warnings for project code and the one function that turns
# a template folder into a plug-in library.

set(MONTAGE_PLUGIN_BUILD_DIR "${PROJECT_BINARY_DIR}/plugins")
set(MONTAGE_PLUGIN_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/montage/plugins")
set(MONTAGE_EXPORT_MAP "${CMAKE_CURRENT_LIST_DIR}/plugin-exports.map")
# Plug-ins link with every symbol resolved, except where an instrumenting runtime lives in
# the host executable (the fuzz build).
if(NOT DEFINED MONTAGE_PLUGIN_NO_UNDEFINED)
  set(MONTAGE_PLUGIN_NO_UNDEFINED ON)
endif()

# Warnings are errors in project code. GCC 12 reports -Wrestrict falsely on std::string
# concatenation ("a" + text) when it optimises; that one check is left to other compilers.
function(montage_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Wold-style-cast -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()

# montage_add_template(<Name>): builds templates/<name>/*.cpp into the plug-in library
# <Name>.so (no "lib" prefix) linked with the framework. Only the two exports of the
# version script are visible; everything else, the framework's globals included, stays
# inside the library so that plug-ins loaded together never share state.
function(montage_add_template name)
  string(TOLOWER "${name}" folder)
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp")
  add_library(${name} MODULE ${sources})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY "${MONTAGE_PLUGIN_BUILD_DIR}"
    LINK_DEPENDS "${MONTAGE_EXPORT_MAP}")
  target_link_libraries(${name} PRIVATE montage_framework)
  # Shared generators are included as "layouts/<name>.h", another template as "<name>/<name>.h".
  target_include_directories(${name} PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
  target_link_options(${name} PRIVATE "LINKER:--version-script=${MONTAGE_EXPORT_MAP}")
  if(MONTAGE_PLUGIN_NO_UNDEFINED)
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
  montage_warnings(${name})
  install(TARGETS ${name} LIBRARY DESTINATION "${MONTAGE_PLUGIN_INSTALL_DIR}" COMPONENT plugins)
  set_property(GLOBAL APPEND PROPERTY MONTAGE_TEMPLATES ${name})
endfunction()

# Writes <dir>/built_plugins.h: kBuiltPlugins, the name and path of every plug-in of this
# build, for the programs that load them (tests/support/plugin_library.h). Call it after
# the templates are added.
function(montage_generate_built_plugins dir)
  get_property(templates GLOBAL PROPERTY MONTAGE_TEMPLATES)
  set(rows "")
  foreach(template IN LISTS templates)
    string(APPEND rows "    {\"${template}\", \"$<TARGET_FILE:${template}>\"},\n")
  endforeach()
  file(GENERATE OUTPUT "${dir}/built_plugins.h" CONTENT
"#pragma once
#include <string_view>
struct BuiltPlugin { std::string_view name; const char* path; };
inline constexpr BuiltPlugin kBuiltPlugins[] = {
${rows}};
")
endfunction()
