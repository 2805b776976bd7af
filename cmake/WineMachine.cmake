# What the project's Wine machine (scripts/wine-machine.sh) installs.
#
# Every function below adds an entry to <build>/wine-machine/manifest.tsv,
# written at the end of the configure step; the script applies it (files
# first, then .reg imports, DLL overrides, services, commands) and does so
# again whenever the manifest or a file it names changes. Windows paths may
# be written with / or \.
#
#   pelorus_machine_file(TARGET <target> | FILE <file> DESTINATION <Windows folder>)
#     Copies a built target's file (or any file) into the machine.
#
#   pelorus_machine_reg(<file.reg>)
#     Imports a registry file into the 64-bit view (`reg import`): keys a
#     companion expects, a COM class's CLSID/AppID/TypeLib entries, ...
#
#   pelorus_machine_service(NAME <name> COMMAND_LINE <Windows command line>
#                           [START demand|auto|disabled] [DISPLAY_NAME <text>])
#     Creates (or replaces) a service with `sc create`. Quote the program
#     path inside COMMAND_LINE when it has spaces.
#
#   pelorus_machine_command(<Windows program> [<argument>...])
#     Runs a program of the machine once per installation, e.g. a COM
#     server's `/RegServer`.
#
#   pelorus_machine_dll_override(<exe file name> <dll base name>...)
#     A per-application DLL override: HKCU\Software\Wine\AppDefaults\<exe>\
#     DllOverrides, <dll> = "native,builtin", so the program loads the
#     stand-in DLL lying beside it instead of Wine's builtin one (install the
#     stand-in beside the executable with pelorus_machine_file, or copy it
#     beside a build-tree executable). Per application, because Wine's own
#     programs must keep the builtin DLL.
#
# PELORUS_PLUGIN_DIR is the plug-in folder of the machine, where Pelorus.dll
# and the signed companions are installed.
include_guard(GLOBAL)

set(PELORUS_PLUGIN_DIR "C:\\Program Files\\QUON\\CORVANE KIOSK Lite Service\\Pelorus")
set(PELORUS_MACHINE_MANIFEST "${CMAKE_BINARY_DIR}/wine-machine/manifest.tsv")

function(_pelorus_machine_entry)
  list(JOIN ARGN "\t" line)
  set_property(GLOBAL APPEND PROPERTY PELORUS_MACHINE_ENTRIES "${line}")
endfunction()

function(_pelorus_windows_path var path)
  string(REPLACE "/" "\\" path "${path}")
  set(${var} "${path}" PARENT_SCOPE)
endfunction()

function(pelorus_machine_file)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET;FILE;DESTINATION" "")
  if(NOT arg_DESTINATION OR (NOT arg_TARGET AND NOT arg_FILE))
    message(FATAL_ERROR "pelorus_machine_file(TARGET <t> | FILE <f> DESTINATION <folder>)")
  endif()
  if(arg_TARGET)
    set(source "$<TARGET_FILE:${arg_TARGET}>")
  else()
    get_filename_component(source "${arg_FILE}" ABSOLUTE)
  endif()
  _pelorus_windows_path(dest "${arg_DESTINATION}")
  _pelorus_machine_entry(file "${source}" "${dest}")
endfunction()

function(pelorus_machine_reg file)
  get_filename_component(file "${file}" ABSOLUTE)
  _pelorus_machine_entry(reg "${file}")
endfunction()

function(pelorus_machine_service)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;COMMAND_LINE;START;DISPLAY_NAME" "")
  if(NOT arg_NAME OR NOT arg_COMMAND_LINE)
    message(FATAL_ERROR "pelorus_machine_service(NAME <n> COMMAND_LINE <c> ...)")
  endif()
  if(NOT arg_START)
    set(arg_START demand)
  endif()
  if(NOT arg_DISPLAY_NAME)
    set(arg_DISPLAY_NAME "${arg_NAME}")
  endif()
  _pelorus_machine_entry(service "${arg_NAME}" "${arg_COMMAND_LINE}" "${arg_START}"
                         "${arg_DISPLAY_NAME}")
endfunction()

function(pelorus_machine_command program)
  _pelorus_windows_path(program "${program}")
  _pelorus_machine_entry(command "${program}" ${ARGN})
endfunction()

function(pelorus_machine_dll_override exe)
  if(NOT ARGN)
    message(FATAL_ERROR "pelorus_machine_dll_override(<exe> <dll>...)")
  endif()
  foreach(dll IN LISTS ARGN)
    string(REGEX REPLACE "\\.[dD][lL][lL]$" "" dll "${dll}")
    _pelorus_machine_entry(override "${exe}" "${dll}")
  endforeach()
endfunction()

# Writes the manifest once every directory has added its entries.
function(_pelorus_write_machine_manifest)
  get_property(entries GLOBAL PROPERTY PELORUS_MACHINE_ENTRIES)
  list(JOIN entries "\n" content)
  file(GENERATE OUTPUT "${PELORUS_MACHINE_MANIFEST}" CONTENT "${content}\n")
endfunction()
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL _pelorus_write_machine_manifest)
