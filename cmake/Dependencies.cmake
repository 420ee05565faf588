# zlib, libdeflate, OpenSSL libcrypto and googletest for the two configurations.
#   msistub::zlib, msistub::deflate, msistub::crypto  -- imported libraries
#   GTest::gtest, GTest::gtest_main -- the googletest package: Debian's natively, for mingw64
#                                      the static build tools/build-googletest-mingw.sh installs
if(MSISTUB_WINDOWS)
  # Everything static: the shipped stub needs nothing but system DLLs.
  add_compile_options(-ffunction-sections -fdata-sections)
  add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections)
  # libcrypto and libdeflate: built from Debian's source packages by tools/build-*-mingw.sh,
  # which `make deps` runs and which record the prefix of their current build in the cache
  # folder; configuring only reads that record (it builds no third-party code).
  #   msistub_mingw_prefix(VAR NAME SCRIPT LIBRARY): VAR (a cache path) names the prefix of
  #   <cache>/NAME.prefix, unless set by hand; LIBRARY must be there.
  function(msistub_mingw_prefix var name script library)
    set(${var} "" CACHE PATH "Prefix of a static ${library} built for mingw64")
    set(pointer "$ENV{MSISTUB_CACHE}")
    if(NOT pointer)
      set(pointer "/var/cache/msistub")
    endif()
    set(pointer "${pointer}/${name}.prefix")
    if(NOT ${var} OR ${var} MATCHES "/${name}-[^/]*$")
      if(NOT EXISTS "${pointer}")
        message(FATAL_ERROR "no ${library} for mingw64 (${pointer} is missing): run `make deps` "
                            "(tools/${script}), or pass -D${var}=<prefix>")
      endif()
      file(STRINGS "${pointer}" prefix LIMIT_COUNT 1)
      set(${var} "${prefix}" CACHE PATH "" FORCE)
    endif()
    # Reconfigure when the script points at another build.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pointer}")
    if(NOT EXISTS "${${var}}/lib/${library}")
      message(FATAL_ERROR "${${var}}/lib/${library} is missing: run `make deps`")
    endif()
  endfunction()
  msistub_mingw_prefix(MSISTUB_OPENSSL_MINGW openssl-mingw64 build-openssl-mingw.sh libcrypto.a)
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
  msistub_mingw_prefix(MSISTUB_LIBDEFLATE_MINGW libdeflate-mingw64 build-libdeflate-mingw.sh
                       libdeflate.a)
  add_library(msistub_deflate STATIC IMPORTED)
  set_target_properties(msistub_deflate PROPERTIES
    IMPORTED_LOCATION "${MSISTUB_LIBDEFLATE_MINGW}/lib/libdeflate.a"
    INTERFACE_INCLUDE_DIRECTORIES "${MSISTUB_LIBDEFLATE_MINGW}/include")
  add_library(msistub::deflate ALIAS msistub_deflate)
  msistub_mingw_prefix(MSISTUB_GTEST_MINGW googletest-mingw64 build-googletest-mingw.sh libgtest.a)
  # The prefix lies outside the toolchain's root path, so it is searched as given.
  find_package(GTest CONFIG REQUIRED PATHS "${MSISTUB_GTEST_MINGW}" NO_DEFAULT_PATH
               CMAKE_FIND_ROOT_PATH_BOTH)
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
  find_package(GTest REQUIRED)
endif()
