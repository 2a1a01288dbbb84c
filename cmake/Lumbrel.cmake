# Helpers that keep each folder's CMakeLists to a few lines.
#
#   lumbrel_library(NAME name SRCS a.cpp ... DEPS lib ... [PRIVATE_DEPS lib ...])
#   lumbrel_test(NAME name SRCS a_test.cpp ... DEPS lib ...)
#   lumbrel_benchmark(NAME name SRCS a_bench.cpp ... DEPS lib ...)
#
# A library's public headers sit in its folder and are included as
# "folder/Header.h" from the repository root.

function(lumbrel_library)
  cmake_parse_arguments(L "" "NAME" "SRCS;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${L_NAME} STATIC ${L_SRCS})
  target_include_directories(${L_NAME} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${L_NAME} PUBLIC ${L_DEPS} PRIVATE ${L_PRIVATE_DEPS})
endfunction()

function(lumbrel_test)
  cmake_parse_arguments(T "" "NAME" "SRCS;DEPS" ${ARGN})
  add_executable(${T_NAME} ${T_SRCS})
  target_link_libraries(${T_NAME} PRIVATE ${T_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "LUMBREL_TEST=1" TIMEOUT 120)
endfunction()

function(lumbrel_benchmark)
  if(NOT LUMBREL_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(B "" "NAME" "SRCS;DEPS" ${ARGN})
  add_executable(${B_NAME} ${B_SRCS})
  target_link_libraries(${B_NAME} PRIVATE ${B_DEPS} benchmark::benchmark)
endfunction()
