# An edition is the installer executable with one settings text and one set of
# machine paths compiled in. Tests and the demo build their own editions this way
# instead of patching a binary.

function(installer_check_settings_file file)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Installer settings file not found: ${file}")
  endif()
  file(READ "${file}" text)
  string(JSON root_type ERROR_VARIABLE json_error TYPE "${text}")
  if(json_error)
    message(FATAL_ERROR "Installer settings file is not valid JSON: ${file}\n  ${json_error}")
  endif()
  if(NOT root_type STREQUAL "OBJECT")
    message(FATAL_ERROR "Installer settings file must hold one JSON object: ${file}")
  endif()
endfunction()

function(add_installer_edition name)
  cmake_parse_arguments(ED "" "SETTINGS;TOOL_DIR;APPLICATIONS_DIR;CA_BUNDLE" "" ${ARGN})
  installer_check_settings_file("${ED_SETTINGS}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ED_SETTINGS}")
  set(out_dir "${CMAKE_BINARY_DIR}/editions/${name}")
  set(header "${out_dir}/installer_edition.h")
  file(MAKE_DIRECTORY "${out_dir}")
  add_custom_command(
    OUTPUT "${header}"
    COMMAND embed-settings "${ED_SETTINGS}" "${ED_TOOL_DIR}" "${ED_APPLICATIONS_DIR}"
            "${ED_CA_BUNDLE}" "${header}"
    DEPENDS embed-settings "${ED_SETTINGS}"
    COMMENT "Embedding settings of ${name}"
    VERBATIM)
  add_executable(${name} "${PROJECT_SOURCE_DIR}/src/entry/main.cpp" "${header}")
  target_include_directories(${name} PRIVATE "${out_dir}")
  target_link_libraries(${name} PRIVATE installer_entry)
endfunction()
