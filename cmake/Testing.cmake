# Test registration shared by every module.
#
# msistub_add_gtest(<name> SOURCES ... [LIBS ...] [LABELS ...])
#   A googletest program. Natively it runs directly (under the sanitizers of the host
#   preset); in the win64 tree it runs under Wine through the cross-compiling emulator,
#   in the build tree's private prefix, after the wine.prefix fixture made it.
enable_testing()

function(msistub_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  if(MSISTUB_WINDOWS)
    target_link_options(${name} PRIVATE -mconsole)
    add_test(NAME wine.${name} COMMAND ${name})
    set_tests_properties(wine.${name} PROPERTIES LABELS "wine;${T_LABELS}"
                         FIXTURES_REQUIRED wine TIMEOUT 300)
  else()
    add_test(NAME host.${name} COMMAND ${name})
    set_tests_properties(host.${name} PROPERTIES LABELS "host;${T_LABELS}" TIMEOUT 300)
  endif()
endfunction()

# msistub_add_wine_script(<name> COMMAND ... [LABELS ...] [TIMEOUT s])
#   A shell-driven test in the win64 tree (end-to-end runs of real executables under Wine).
#   The environment gives it MSISTUB_BUILD (win64 tree), MSISTUB_HOST_BUILD (host tree),
#   MSISTUB_SOURCE and the runner in MSISTUB_WINE.
function(msistub_add_wine_script name)
  cmake_parse_arguments(T "" "TIMEOUT" "COMMAND;LABELS;DEPENDS_FIXTURES" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_test(NAME wine.${name} COMMAND ${T_COMMAND})
  set_tests_properties(wine.${name} PROPERTIES LABELS "wine;${T_LABELS}"
    FIXTURES_REQUIRED "wine;${T_DEPENDS_FIXTURES}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "MSISTUB_BUILD=${CMAKE_BINARY_DIR};MSISTUB_HOST_BUILD=${MSISTUB_HOST_BUILD_DIR};MSISTUB_SOURCE=${CMAKE_SOURCE_DIR};MSISTUB_WINE=${CMAKE_SOURCE_DIR}/tests/wine/run-wine.sh")
endfunction()
