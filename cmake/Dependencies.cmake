# zlib, libdeflate, OpenSSL libcrypto and googletest for the two configurations.
#   msistub::zlib, msistub::deflate, msistub::crypto  -- imported libraries
#   GTest::gtest, GTest::gtest_main -- built from /usr/src/googletest
if(MSISTUB_WINDOWS)
  # Everything static: the shipped stub needs nothing but system DLLs.
  add_compile_options(-ffunction-sections -fdata-sections)
  add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections)
  # libcrypto: built from Debian's source package by tools/build-openssl-mingw.sh, which
  # `make deps` runs and which records the prefix of its current build; configuring only
  # reads that record (and builds no third-party code).
  set(MSISTUB_OPENSSL_MINGW "" CACHE PATH "Prefix of a static libcrypto built for mingw64")
  set(openssl_pointer "$ENV{MSISTUB_CACHE}")
  if(NOT openssl_pointer)
    set(openssl_pointer "/var/cache/msistub")
  endif()
  set(openssl_pointer "${openssl_pointer}/openssl-mingw64.prefix")
  if(NOT MSISTUB_OPENSSL_MINGW OR MSISTUB_OPENSSL_MINGW MATCHES "/openssl-mingw64-[^/]*$")
    if(NOT EXISTS "${openssl_pointer}")
      message(FATAL_ERROR "no libcrypto for mingw64 (${openssl_pointer} is missing): run "
                          "`make deps` (tools/build-openssl-mingw.sh), or pass "
                          "-DMSISTUB_OPENSSL_MINGW=<prefix>")
    endif()
    file(STRINGS "${openssl_pointer}" prefix LIMIT_COUNT 1)
    set(MSISTUB_OPENSSL_MINGW "${prefix}" CACHE PATH "" FORCE)
  endif()
  # Reconfigure when the script points at another build.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${openssl_pointer}")
  if(NOT EXISTS "${MSISTUB_OPENSSL_MINGW}/lib/libcrypto.a")
    message(FATAL_ERROR "${MSISTUB_OPENSSL_MINGW}/lib/libcrypto.a is missing: run `make deps`")
  endif()
  add_library(msistub_crypto STATIC IMPORTED)
  set_target_properties(msistub_crypto PROPERTIES
    IMPORTED_LOCATION "${MSISTUB_OPENSSL_MINGW}/lib/libcrypto.a"
    INTERFACE_INCLUDE_DIRECTORIES "${MSISTUB_OPENSSL_MINGW}/include"
    INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;bcrypt;advapi32;user32")
  add_library(msistub::crypto ALIAS msistub_crypto)
  find_library(MINGW_ZLIB NAMES libz.a z REQUIRED)
  find_path(MINGW_ZLIB_INCLUDE zlib.h REQUIRED)
  add_library(msistub_zlib STATIC IMPORTED)
  set_target_properties(msistub_zlib PROPERTIES IMPORTED_LOCATION "${MINGW_ZLIB}"
    INTERFACE_INCLUDE_DIRECTORIES "${MINGW_ZLIB_INCLUDE}")
  add_library(msistub::zlib ALIAS msistub_zlib)
  # libdeflate: built from Debian's source package by tools/build-libdeflate-mingw.sh, which
  # `make deps` runs and which records the prefix of its current build; configuring only
  # reads that record.
  set(MSISTUB_LIBDEFLATE_MINGW "" CACHE PATH "Prefix of a static libdeflate built for mingw64")
  set(libdeflate_pointer "$ENV{MSISTUB_CACHE}")
  if(NOT libdeflate_pointer)
    set(libdeflate_pointer "/var/cache/msistub")
  endif()
  set(libdeflate_pointer "${libdeflate_pointer}/libdeflate-mingw64.prefix")
  if(NOT MSISTUB_LIBDEFLATE_MINGW OR MSISTUB_LIBDEFLATE_MINGW MATCHES "/libdeflate-mingw64-[^/]*$")
    if(NOT EXISTS "${libdeflate_pointer}")
      message(FATAL_ERROR "no libdeflate for mingw64 (${libdeflate_pointer} is missing): run "
                          "`make deps` (tools/build-libdeflate-mingw.sh), or pass "
                          "-DMSISTUB_LIBDEFLATE_MINGW=<prefix>")
    endif()
    file(STRINGS "${libdeflate_pointer}" prefix LIMIT_COUNT 1)
    set(MSISTUB_LIBDEFLATE_MINGW "${prefix}" CACHE PATH "" FORCE)
  endif()
  # Reconfigure when the script points at another build.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${libdeflate_pointer}")
  if(NOT EXISTS "${MSISTUB_LIBDEFLATE_MINGW}/lib/libdeflate.a")
    message(FATAL_ERROR "${MSISTUB_LIBDEFLATE_MINGW}/lib/libdeflate.a is missing: run `make deps`")
  endif()
  add_library(msistub_deflate STATIC IMPORTED)
  set_target_properties(msistub_deflate PROPERTIES
    IMPORTED_LOCATION "${MSISTUB_LIBDEFLATE_MINGW}/lib/libdeflate.a"
    INTERFACE_INCLUDE_DIRECTORIES "${MSISTUB_LIBDEFLATE_MINGW}/include")
  add_library(msistub::deflate ALIAS msistub_deflate)
else()
  if(MSISTUB_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  endif()
  find_package(OpenSSL REQUIRED)
  find_package(ZLIB REQUIRED)
  add_library(msistub::crypto ALIAS OpenSSL::Crypto)
  add_library(msistub::zlib ALIAS ZLIB::ZLIB)
  # libdeflate from Debian's libdeflate-dev (tools/deps.sh).
  find_path(LIBDEFLATE_INCLUDE libdeflate.h)
  find_library(LIBDEFLATE_LIBRARY NAMES deflate)
  if(NOT LIBDEFLATE_INCLUDE OR NOT LIBDEFLATE_LIBRARY)
    message(FATAL_ERROR "libdeflate not found: run `make deps` (apt-get install libdeflate-dev)")
  endif()
  add_library(msistub_deflate UNKNOWN IMPORTED)
  set_target_properties(msistub_deflate PROPERTIES IMPORTED_LOCATION "${LIBDEFLATE_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${LIBDEFLATE_INCLUDE}")
  add_library(msistub::deflate ALIAS msistub_deflate)
endif()

if(NOT TARGET GTest::gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
