# GoogleTest and wz_test, the one way a test executable is declared, so that
# each folder declares its tests beside its code.
#
# wz_test(name LABEL label SOURCES files... | GLOBS patterns... [EXCLUDE regex]
#         LIBS libs... DEPENDS targets...)
# Labels: unit (also run under ASan+UBSan), concurrency (also run under
# TSan), integration (daemon and client over real sockets), e2e (tgtd and a
# real initiator), lio (the kernel target in QEMU), package, cluster (the
# etcd client against private etcd members on loopback; also run under
# ASan+UBSan).
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

function(wz_test name)
  cmake_parse_arguments(A "" "LABEL;EXCLUDE" "SOURCES;GLOBS;LIBS;DEPENDS" ${ARGN})
  set(_src ${A_SOURCES})
  if(A_GLOBS)
    file(GLOB_RECURSE _globbed CONFIGURE_DEPENDS ${A_GLOBS})
    list(APPEND _src ${_globbed})
  endif()
  if(A_EXCLUDE)
    list(FILTER _src EXCLUDE REGEX "${A_EXCLUDE}")
  endif()
  if(NOT _src)
    return()
  endif()
  add_executable(${name} ${_src})
  # The host libraries' test doubles (tests/support/CMakeLists.txt).
  target_link_libraries(${name} PRIVATE ${A_LIBS} wz_host_test_support GTest::gtest GTest::gtest_main GTest::gmock
    Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    WZ_TEST_FAKES_DIR="${WZ_FAKES_DIR}"
    WZ_TEST_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    WZ_TEST_LIB_DIR="${CMAKE_BINARY_DIR}/lib"
    WZ_TEST_DRIVERS_DIR="${WZ_DRIVERS_DIR}"
    WZ_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  if(A_DEPENDS)
    add_dependencies(${name} ${A_DEPENDS})
  endif()
  gtest_discover_tests(${name} PROPERTIES LABELS ${A_LABEL} DISCOVERY_TIMEOUT 60)
endfunction()
