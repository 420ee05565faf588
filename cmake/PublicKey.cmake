# The payload public key built into the stub.
# MSISTUB_PUBLIC_KEY names a 276-byte PUBLICKEYBLOB or a PEM public key. Without it a
# development key pair is generated once in MSISTUB_DEV_KEY_DIR (shared by the host and
# win64 trees, so the host tools sign what the stub accepts) and the build says so.
# Results: ${MSISTUB_KEY_SOURCE} (generated .cpp with AssemblePayloadPublicKey),
#          ${MSISTUB_KEY_RESOURCE} (generated .rc fragment: the MSISTUB_KEY RCDATA resource,
#            "MSKF", version 1, flags -- 1 for the development key -- and the SHA-256 of the
#            276-byte blob; msistub-pack reads it to check the signing key against the stub),
#          MSISTUB_KEY_FINGERPRINT (that SHA-256 in hex), MSISTUB_DEVELOPMENT_KEY (ON/OFF),
#          MSISTUB_PRIVATE_KEY_PEM (the development private key, empty for release keys).
# The key file is a configure dependency: replacing it (in any form) reconfigures and
# rebuilds the stub with the new key.
find_program(OPENSSL_CLI openssl REQUIRED)
set(MSISTUB_PRIVATE_KEY_PEM "")
if(MSISTUB_PUBLIC_KEY)
  set(key_file "${MSISTUB_PUBLIC_KEY}")
  set(MSISTUB_DEVELOPMENT_KEY OFF)
  if(NOT EXISTS "${key_file}")
    message(FATAL_ERROR "MSISTUB_PUBLIC_KEY ${key_file} does not exist")
  endif()
else()
  set(MSISTUB_DEVELOPMENT_KEY ON)
  file(MAKE_DIRECTORY "${MSISTUB_DEV_KEY_DIR}")
  file(LOCK "${MSISTUB_DEV_KEY_DIR}/.lock")
  if(NOT EXISTS "${MSISTUB_DEV_KEY_DIR}/payload-private.pem")
    execute_process(COMMAND ${OPENSSL_CLI} genrsa -out "${MSISTUB_DEV_KEY_DIR}/payload-private.tmp" 2048
                    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "openssl genrsa failed")
    endif()
    file(RENAME "${MSISTUB_DEV_KEY_DIR}/payload-private.tmp" "${MSISTUB_DEV_KEY_DIR}/payload-private.pem")
  endif()
  if(NOT EXISTS "${MSISTUB_DEV_KEY_DIR}/payload-public.pem")
    execute_process(COMMAND ${OPENSSL_CLI} rsa -in "${MSISTUB_DEV_KEY_DIR}/payload-private.pem"
                    -pubout -out "${MSISTUB_DEV_KEY_DIR}/payload-public.pem" OUTPUT_QUIET ERROR_QUIET)
  endif()
  file(LOCK "${MSISTUB_DEV_KEY_DIR}/.lock" RELEASE)
  set(key_file "${MSISTUB_DEV_KEY_DIR}/payload-public.pem")
  set(MSISTUB_PRIVATE_KEY_PEM "${MSISTUB_DEV_KEY_DIR}/payload-private.pem")
  message(STATUS "msistub: no MSISTUB_PUBLIC_KEY given; using the DEVELOPMENT key ${key_file}")
endif()

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key_file}")
set(blob "${CMAKE_BINARY_DIR}/generated/payload-public.blob")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/generated")
file(READ "${key_file}" head LIMIT 64)
string(FIND "${head}" "-----BEGIN" pem_at)
if(pem_at EQUAL 0)
  execute_process(COMMAND ${OPENSSL_CLI} rsa -pubin -in "${key_file}" -pubout -outform MSBLOB -out "${blob}"
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${key_file}: not a PEM RSA public key")
  endif()
else()
  configure_file("${key_file}" "${blob}" COPYONLY)
endif()
file(SIZE "${blob}" blob_size)
file(READ "${blob}" hex HEX)
if(NOT blob_size EQUAL 276 OR NOT hex MATCHES "^0602000000a4000052534131")
  message(FATAL_ERROR "${key_file}: not an RSA-2048 public key (need a 276-byte PUBLICKEYBLOB)")
endif()
# The key is written word by word into the caller's buffer; it is never one stored blob.
set(body "")
foreach(i RANGE 0 68)
  math(EXPR at "${i} * 8")
  string(SUBSTRING "${hex}" ${at} 8 w)
  string(SUBSTRING "${w}" 6 2 b3)
  string(SUBSTRING "${w}" 4 2 b2)
  string(SUBSTRING "${w}" 2 2 b1)
  string(SUBSTRING "${w}" 0 2 b0)
  math(EXPR off "${i} * 4")
  string(APPEND body "  WriteLe32(out + ${off}, 0x${b3}${b2}${b1}${b0}u);\n")
endforeach()
set(MSISTUB_KEY_SOURCE "${CMAKE_BINARY_DIR}/generated/payload_key.cpp")
file(CONFIGURE OUTPUT "${MSISTUB_KEY_SOURCE}" CONTENT
"// Generated from ${key_file}; do not edit.
#include \"payload/record.h\"

void AssemblePayloadPublicKey(uint8_t out[PAYLOAD_PUBLIC_KEY_SIZE]) {
${body}}
" @ONLY)

# The key's fingerprint as a resource of the stub (see pack/fingerprint.h for the layout).
file(SHA256 "${blob}" MSISTUB_KEY_FINGERPRINT)
if(MSISTUB_DEVELOPMENT_KEY)
  set(flags "01000000")
else()
  set(flags "00000000")
endif()
set(bytes "4d534b4601000000${flags}${MSISTUB_KEY_FINGERPRINT}")
set(words "")
foreach(i RANGE 0 21)
  math(EXPR at "${i} * 4")
  string(SUBSTRING "${bytes}" ${at} 2 lo)
  math(EXPR at "${at} + 2")
  string(SUBSTRING "${bytes}" ${at} 2 hi)
  if(i GREATER 0)
    string(APPEND words ", ")
  endif()
  string(APPEND words "0x${hi}${lo}")
endforeach()
set(MSISTUB_KEY_RESOURCE "${CMAKE_BINARY_DIR}/generated/payload_key.rc")
file(CONFIGURE OUTPUT "${MSISTUB_KEY_RESOURCE}" CONTENT
"// Generated from ${key_file}; do not edit. The payload key's fingerprint for msistub-pack.
MSISTUB_KEY RCDATA
BEGIN
  ${words}
END
" @ONLY)
