# msistub_add_setup: turns MSI packages into a signed msistub setup as a build step.
#
#   include(<msistub>/cmake/msistub.cmake)      or   find_package(msistub) (msistubConfig.cmake)
#
#   msistub_add_setup(<target>
#     MSI <file or target>...        MSI files, or targets whose MSISTUB_MSI property names the
#                                    MSI they build; their cabinets must lie next to them
#     STUB <signed stub.exe>         the stub, signed already (cert-table and extension modes)
#     KEY <private.pem>              the payload signing key (msistub-pack keygen)
#     OUTPUT <setup.exe>             relative paths are taken in the current binary folder
#     [MODE cert-table|extension|append]   default cert-table
#     [PUBLIC_KEY <public key>]      refuse to pack unless KEY belongs to it (the stub's key)
#     [ARCH x64|Intel] [LANGUAGES 1033;1031] [NAME <name>] [CODE <product code>]
#                                    override what the MSIs say (CODE: one MSI only)
#     [DEPENDS <file or target>...]  more things the setup depends on
#     [ALLOW_DEVELOPMENT_KEY]        accept a stub built with the development key (test setups)
#     [ALL])                         build the setup with the default target
#
# The setup is packed again when an MSI, a cabinet its Media table names (found at build
# time: msistub-pack writes a dependency file), the stub or a key changes (Ninja and
# Makefile generators; other generators see the MSIs, stub and keys only).
#
# The packing tool is MSISTUB_PACK_EXECUTABLE (a cache variable; default: the msistub-pack
# target of this build when there is one, else msistub-pack found on the PATH). The same
# inputs and key give the same setup bytes, so the setup is a reproducible build output.
include_guard(GLOBAL)
# DEPFILE paths are taken relative to the build tree, whatever the including project's
# policy version (functions keep the policies of their definition).
if(POLICY CMP0116)
  cmake_policy(SET CMP0116 NEW)
endif()

if(NOT MSISTUB_PACK_EXECUTABLE AND NOT TARGET msistub-pack)
  # Installed (cmake --install): the tool lies in bin/ three levels above lib/cmake/msistub.
  find_program(MSISTUB_PACK_EXECUTABLE msistub-pack HINTS "${CMAKE_CURRENT_LIST_DIR}/../../../bin")
endif()

function(msistub_add_setup target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "ALL;ALLOW_DEVELOPMENT_KEY"
    "STUB;KEY;OUTPUT;MODE;PUBLIC_KEY;ARCH;LANGUAGES;NAME;CODE" "MSI;DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "msistub_add_setup(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required MSI STUB KEY OUTPUT)
    if(NOT arg_${required})
      message(FATAL_ERROR "msistub_add_setup(${target}): ${required} is required")
    endif()
  endforeach()
  if(MSISTUB_PACK_EXECUTABLE)
    set(pack "${MSISTUB_PACK_EXECUTABLE}")
  elseif(TARGET msistub-pack)
    set(pack "$<TARGET_FILE:msistub-pack>")
    list(APPEND arg_DEPENDS msistub-pack)
  else()
    message(FATAL_ERROR "msistub_add_setup(${target}): msistub-pack not found; set MSISTUB_PACK_EXECUTABLE")
  endif()

  set(msis)
  set(depends)
  foreach(item IN LISTS arg_MSI)
    if(TARGET ${item})
      get_target_property(file ${item} MSISTUB_MSI)
      if(NOT file)
        message(FATAL_ERROR "msistub_add_setup(${target}): target ${item} has no MSISTUB_MSI property "
                            "naming the MSI it builds")
      endif()
      list(APPEND msis "${file}")
      list(APPEND depends ${item} "${file}")
    else()
      get_filename_component(file "${item}" ABSOLUTE)
      list(APPEND msis "${file}")
      list(APPEND depends "${file}")
    endif()
  endforeach()

  get_filename_component(stub "${arg_STUB}" ABSOLUTE)
  get_filename_component(key "${arg_KEY}" ABSOLUTE)
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(options --stub "${stub}" --key "${key}" --out "${output}" --quiet)
  if(arg_MODE)
    list(APPEND options --mode ${arg_MODE})
  endif()
  if(arg_ALLOW_DEVELOPMENT_KEY)
    list(APPEND options --allow-development-key)
  endif()
  set(depfile_args)
  if(CMAKE_GENERATOR MATCHES "Ninja|Makefiles")
    list(APPEND options --depfile "${output}.d")
    set(depfile_args DEPFILE "${output}.d")
  endif()
  if(arg_PUBLIC_KEY)
    get_filename_component(public "${arg_PUBLIC_KEY}" ABSOLUTE)
    list(APPEND options --public-key "${public}")
    list(APPEND depends "${public}")
  endif()
  foreach(override ARCH LANGUAGES NAME CODE)
    if(arg_${override})
      string(TOLOWER ${override} option)
      string(REPLACE ";" "," value "${arg_${override}}")
      list(APPEND options --${option} "${value}")
    endif()
  endforeach()

  add_custom_command(OUTPUT "${output}"
    COMMAND "${pack}" make ${options} ${msis}
    DEPENDS ${depends} "${stub}" "${key}" ${arg_DEPENDS}
    ${depfile_args}
    COMMENT "msistub: packing ${arg_OUTPUT}"
    VERBATIM)
  if(arg_ALL)
    add_custom_target(${target} ALL DEPENDS "${output}")
  else()
    add_custom_target(${target} DEPENDS "${output}")
  endif()
  set_target_properties(${target} PROPERTIES MSISTUB_SETUP "${output}")
endfunction()
