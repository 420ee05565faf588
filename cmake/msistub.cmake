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
#     [ICON <file.ico>] [VERSION 1.2.3.4] [COMPANY <text>] [PRODUCT_NAME <text>]
#     [DESCRIPTION <text>] [COPYRIGHT <text>]
#                                    brand the setup: the icon's images replace the stub's
#                                    (group APP), the VERSIONINFO holds these values (msistub's
#                                    own for those not given) and the setup's file name as the
#                                    original file name. STUB is then the UNSIGNED stub
#     [SIGN <command>...]            signs the (branded) unsigned STUB before packing; @IN@ and
#                                    @OUT@ in it stand for the unsigned and the signed file
#                                    (osslsigncode sign -certs c.pem -key c.key -in @IN@ -out @OUT@).
#                                    Needed for branding in cert-table and extension modes
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

# Branding rewrites the stub's resources with msistub-brand.py, which lies beside this file.
set_property(GLOBAL PROPERTY MSISTUB_BRAND_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/msistub-brand.py")
find_program(MSISTUB_PYTHON NAMES python3 python)

if(NOT MSISTUB_PACK_EXECUTABLE AND NOT TARGET msistub-pack)
  # Installed (cmake --install): the tool lies in bin/ three levels above lib/cmake/msistub.
  find_program(MSISTUB_PACK_EXECUTABLE msistub-pack HINTS "${CMAKE_CURRENT_LIST_DIR}/../../../bin")
endif()

function(msistub_add_setup target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "ALL;ALLOW_DEVELOPMENT_KEY"
    "STUB;KEY;OUTPUT;MODE;PUBLIC_KEY;ARCH;LANGUAGES;NAME;CODE;ICON;VERSION;COMPANY;PRODUCT_NAME;DESCRIPTION;COPYRIGHT"
    "MSI;DEPENDS;SIGN")
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

  # Branding and signing: unsigned STUB -> <output>.stub.exe (branded) -> <output>.signed.exe.
  set(brand_args)
  set(brand_depends)
  foreach(field ICON VERSION COMPANY PRODUCT_NAME DESCRIPTION COPYRIGHT)
    if(DEFINED arg_${field})
      string(TOLOWER "${field}" option)
      string(REPLACE "_" "-" option "${option}")
      set(value "${arg_${field}}")
      if(field STREQUAL "ICON")
        get_filename_component(value "${value}" ABSOLUTE)
        list(APPEND brand_depends "${value}")
      elseif(field STREQUAL "VERSION" AND NOT value MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
        message(FATAL_ERROR "msistub_add_setup(${target}): VERSION '${value}': give one to four numbers separated by dots (1.2.3.4)")
      endif()
      list(APPEND brand_args --${option} "${value}")
    endif()
  endforeach()
  if(brand_args AND NOT arg_SIGN AND NOT arg_MODE STREQUAL "append")
    message(FATAL_ERROR "msistub_add_setup(${target}): branding changes the stub, so it must be signed "
                        "afterwards: give the unsigned stub as STUB and the signing command as SIGN "
                        "(or use MODE append, which needs no signature)")
  endif()
  if(arg_SIGN AND arg_MODE STREQUAL "append")
    message(FATAL_ERROR "msistub_add_setup(${target}): MODE append takes an unsigned stub; drop SIGN")
  endif()
  if(brand_args)
    get_property(brand GLOBAL PROPERTY MSISTUB_BRAND_SCRIPT)
    if(NOT MSISTUB_PYTHON)
      message(FATAL_ERROR "msistub_add_setup(${target}): branding needs Python 3 (python3 not found)")
    endif()
    get_filename_component(name "${output}" NAME)
    add_custom_command(OUTPUT "${output}.stub.exe"
      COMMAND "${MSISTUB_PYTHON}" "${brand}" stub "${stub}" "${output}.stub.exe"
              ${brand_args} --original-filename "${name}"
      DEPENDS "${stub}" "${brand}" ${brand_depends}
      COMMENT "msistub: branding the stub of ${arg_OUTPUT}"
      VERBATIM)
    set(stub "${output}.stub.exe")
  endif()
  if(arg_SIGN)
    set(sign)
    foreach(word IN LISTS arg_SIGN)
      string(REPLACE "@IN@" "${stub}" word "${word}")
      string(REPLACE "@OUT@" "${output}.signed.exe" word "${word}")
      list(APPEND sign "${word}")
    endforeach()
    add_custom_command(OUTPUT "${output}.signed.exe"
      COMMAND ${CMAKE_COMMAND} -E remove -f "${output}.signed.exe"
      COMMAND ${sign}
      DEPENDS "${stub}"
      COMMENT "msistub: signing the stub of ${arg_OUTPUT}"
      VERBATIM)
    set(stub "${output}.signed.exe")
  endif()
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
