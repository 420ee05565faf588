# The payload public key built into the stub.
# MSISTUB_PUBLIC_KEY names a 276-byte PUBLICKEYBLOB or a PEM public key. Without it a
# development key pair is generated once in MSISTUB_DEV_KEY_DIR (shared by the host and
# win64 trees, so the host tools sign what the stub accepts) and the build says so.
# Results: ${MSISTUB_KEY_SOURCE} (generated .cpp with AssemblePayloadPublicKey),
#          MSISTUB_PRIVATE_KEY_PEM (the development private key, empty for release keys).
find_program(OPENSSL_CLI openssl REQUIRED)
set(MSISTUB_PRIVATE_KEY_PEM "")
if(MSISTUB_PUBLIC_KEY)
  set(key_file "${MSISTUB_PUBLIC_KEY}")
else()
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
