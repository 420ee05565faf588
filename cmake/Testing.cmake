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

# msistub_add_wine_script(<name> COMMAND ... [DRIVES_WINDOWS] [LABELS ...] [TIMEOUT s]
#                         [ENVIRONMENT VAR=value ...] [LOCKS ...] [DEPENDS_FIXTURES ...])
#   The one call that adds a test run under Wine in the win64 tree (wine.<name>): a script
#   (end-to-end runs of real executables) or a test program with arguments (a target's name
#   runs through the cross-compiling emulator, tests/wine/run-wine.sh). The environment gives
#   it MSISTUB_BUILD (win64 tree), MSISTUB_HOST_BUILD (host tree), MSISTUB_SOURCE, the runner
#   in MSISTUB_WINE, and ENVIRONMENT (MSISTUB_LANG=ja_JP.UTF-8 runs it in another locale).
#   The Wine tests run side by side (WINE_CTEST_JOBS); they share the tree's display.
#   DRIVES_WINDOWS: the test finds windows and gives them keys (tests/wine/answer.exe, through
#   stub/tests/box.sh, tests/e2e/lib.sh, tests/reliability/common.sh); such tests run one at a
#   time (resource lock "display"), so that their waits and key timings never compete.
#   LOCKS: further resource locks, for tests that share something else (a prefix's
#   Windows\Installer folder, a prefix of their own).
function(msistub_add_wine_script name)
  cmake_parse_arguments(T "DRIVES_WINDOWS" "TIMEOUT" "COMMAND;LABELS;DEPENDS_FIXTURES;ENVIRONMENT;LOCKS"
                        ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_test(NAME wine.${name} COMMAND ${T_COMMAND})
  set(env "MSISTUB_BUILD=${CMAKE_BINARY_DIR}" "MSISTUB_HOST_BUILD=${MSISTUB_HOST_BUILD_DIR}"
      "MSISTUB_SOURCE=${CMAKE_SOURCE_DIR}" "MSISTUB_WINE=${CMAKE_SOURCE_DIR}/tests/wine/run-wine.sh"
      ${T_ENVIRONMENT})
  set_tests_properties(wine.${name} PROPERTIES LABELS "wine;${T_LABELS}"
    FIXTURES_REQUIRED "wine;${T_DEPENDS_FIXTURES}" TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
  set(locks ${T_LOCKS})
  if(T_DRIVES_WINDOWS)
    list(APPEND locks display)
  endif()
  if(locks)
    set_tests_properties(wine.${name} PROPERTIES RESOURCE_LOCK "${locks}")
  endif()
endfunction()
