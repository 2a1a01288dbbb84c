# Helpers that keep each folder's CMakeLists to a few lines.
#
#   lumbrel_library(NAME name SRCS a.cpp ... DEPS lib ... [PRIVATE_DEPS lib ...])
#   lumbrel_test(NAME name SRCS a_test.cpp ... DEPS lib ...)
#   lumbrel_benchmark(NAME name SRCS a_bench.cpp ... DEPS lib ...)
#   lumbrel_nanopb(TARGET lib PROTOS a.proto ...)          (further below)
#   lumbrel_fuzz(NAME name SRCS a_fuzz.cpp DEPS lib SEEDS folder)
#
# A library's public headers sit in its folder and are included as
# "folder/Header.h" from the repository root.

function(lumbrel_library)
  cmake_parse_arguments(L "" "NAME" "SRCS;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${L_NAME} STATIC ${L_SRCS})
  if(LUMBREL_FUZZ_BUILD)
    # The clang build compiles only what its fuzz targets link.
    set_target_properties(${L_NAME} PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
  target_include_directories(${L_NAME} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${L_NAME} PUBLIC ${L_DEPS} PRIVATE ${L_PRIVATE_DEPS})
endfunction()

function(lumbrel_test)
  cmake_parse_arguments(T "" "NAME" "SRCS;DEPS" ${ARGN})
  if(LUMBREL_FUZZ_BUILD)
    # A target for the folder to configure, never built or run there.
    add_executable(${T_NAME} EXCLUDE_FROM_ALL ${T_SRCS})
    return()
  endif()
  add_executable(${T_NAME} ${T_SRCS})
  target_link_libraries(${T_NAME} PRIVATE ${T_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  set(sanitizer_env)
  if(LUMBREL_TSAN)
    set(sanitizer_env ENVIRONMENT_MODIFICATION
      "TSAN_OPTIONS=string_append::suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan.supp")
  endif()
  # Sanitized code runs several times slower, more so on a busy machine.
  set(timeout 120)
  if(LUMBREL_TSAN OR LUMBREL_ASAN)
    set(timeout 600)
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "LUMBREL_TEST=1" TIMEOUT ${timeout} ${sanitizer_env})
endfunction()

# Benchmarks left out still get a target, out of every build, so that a
# folder may set its properties whatever LUMBREL_BENCHMARKS says.
function(lumbrel_benchmark)
  cmake_parse_arguments(B "" "NAME" "SRCS;DEPS" ${ARGN})
  if(NOT LUMBREL_BENCHMARKS OR LUMBREL_FUZZ_BUILD)
    add_executable(${B_NAME} EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/cmake/benchmarks-off.cpp)
    return()
  endif()
  add_executable(${B_NAME} ${B_SRCS})
  target_link_libraries(${B_NAME} PRIVATE ${B_DEPS} benchmark::benchmark)
endfunction()

# Protocol-buffer codecs generated with nanopb at build time; the generated
# sources are never checked in. A `<name>.options` file beside a `.proto` is
# passed to the generator. The target gets the generated sources, their
# include folder (include "<name>.pb.h") and the nanopb runtime.
#
#   lumbrel_nanopb(TARGET services_measurement PROTOS Event.proto ...)
function(lumbrel_nanopb)
  cmake_parse_arguments(P "" "TARGET" "PROTOS" ${ARGN})
  find_program(LUMBREL_PROTOC protoc REQUIRED)
  find_program(LUMBREL_PROTOC_GEN_NANOPB protoc-gen-nanopb REQUIRED)
  find_path(LUMBREL_NANOPB_INCLUDE_DIR pb.h REQUIRED)
  find_library(LUMBREL_NANOPB_LIBRARY protobuf-nanopb REQUIRED)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/nanopb)
  file(MAKE_DIRECTORY ${out})
  set(generated)
  foreach(proto IN LISTS P_PROTOS)
    get_filename_component(path ${proto} ABSOLUTE)
    get_filename_component(dir ${path} DIRECTORY)
    get_filename_component(name ${path} NAME_WE)
    set(options_arg)
    set(depends ${path})
    if(EXISTS ${dir}/${name}.options)
      set(options_arg --nanopb_opt=-f${dir}/${name}.options)
      list(APPEND depends ${dir}/${name}.options)
    endif()
    add_custom_command(
      OUTPUT ${out}/${name}.pb.c ${out}/${name}.pb.h
      COMMAND ${LUMBREL_PROTOC} --plugin=protoc-gen-nanopb=${LUMBREL_PROTOC_GEN_NANOPB}
              -I${dir} --nanopb_out=${out} ${options_arg} ${path}
      DEPENDS ${depends}
      COMMENT "Generating nanopb codec for ${name}.proto"
      VERBATIM)
    list(APPEND generated ${out}/${name}.pb.c)
  endforeach()
  target_sources(${P_TARGET} PRIVATE ${generated})
  target_include_directories(${P_TARGET} PUBLIC ${out} ${LUMBREL_NANOPB_INCLUDE_DIR})
  # Debian's runtime is built with dynamic allocation; the struct layouts
  # must agree with it.
  target_compile_definitions(${P_TARGET} PUBLIC PB_ENABLE_MALLOC)
  target_link_libraries(${P_TARGET} PUBLIC ${LUMBREL_NANOPB_LIBRARY})
endfunction()

# libFuzzer targets. The main build uses g++, so every fuzz target is built by
# a second, clang-compiled build of the folders it needs (in <build>/fuzz,
# with -fsanitize=fuzzer,address,undefined), and a bounded run over a scratch
# corpus plus the checked-in seeds is registered as a CTest test.
#
#   lumbrel_fuzz(NAME measurement_decode_fuzz SRCS fuzz/DecodeFuzz.cpp Decoder.cpp
#                DEPS platform_log SEEDS fuzz/seeds [PROTOS a.proto ...] [SECONDS 5])
#
# Only the libraries a target links are compiled by clang, so a target may
# list its folder's sources itself (and PROTOS for their nanopb codecs)
# rather than link a library whose other parts clang cannot build.
set(LUMBREL_FUZZ_SECONDS 5 CACHE STRING "Seconds each fuzz target runs under CTest")
option(LUMBREL_FUZZ "Build the fuzz targets and run them under CTest" ON)
if(LUMBREL_FUZZ_BUILD)
  # Inside the clang build: instrument everything, build no tests.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

function(lumbrel_fuzz)
  cmake_parse_arguments(F "" "NAME;SEEDS;SECONDS" "SRCS;DEPS;PROTOS" ${ARGN})
  if(NOT F_SECONDS)
    set(F_SECONDS ${LUMBREL_FUZZ_SECONDS})
  endif()
  if(LUMBREL_FUZZ_BUILD)
    add_executable(${F_NAME} ${F_SRCS})
    target_link_libraries(${F_NAME} PRIVATE ${F_DEPS})
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
    if(F_PROTOS)
      lumbrel_nanopb(TARGET ${F_NAME} PROTOS ${F_PROTOS})
    endif()
    return()
  endif()
  if(NOT LUMBREL_FUZZ OR LUMBREL_ASAN OR LUMBREL_TSAN)
    return()
  endif()
  find_program(LUMBREL_CLANGXX clang++)
  find_program(LUMBREL_CLANG clang)
  if(NOT LUMBREL_CLANGXX OR NOT LUMBREL_CLANG)
    message(STATUS "clang not found: fuzz target ${F_NAME} skipped")
    return()
  endif()
  # The folders the clang build needs: this one and those of every library
  # it links, found through the targets' link lists.
  set(pending ${F_DEPS})
  set(seen)
  set(folders)
  file(RELATIVE_PATH here ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  list(APPEND folders ${here})
  while(pending)
    list(POP_FRONT pending dep)
    if(NOT TARGET ${dep} OR dep IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${dep})
    get_target_property(imported ${dep} IMPORTED)
    if(imported)
      continue()
    endif()
    get_target_property(dir ${dep} SOURCE_DIR)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${dir})
    list(APPEND folders ${rel})
    get_target_property(links ${dep} LINK_LIBRARIES)
    if(links)
      list(APPEND pending ${links})
    endif()
  endwhile()
  set_property(GLOBAL APPEND PROPERTY LUMBREL_FUZZ_FOLDERS ${folders})
  get_property(scheduled GLOBAL PROPERTY LUMBREL_FUZZ_SCHEDULED)
  if(NOT scheduled)
    set_property(GLOBAL PROPERTY LUMBREL_FUZZ_SCHEDULED ON)
    cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL _lumbrel_fuzz_build)
  endif()

  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}.corpus)
  file(MAKE_DIRECTORY ${corpus})
  # New inputs go to the scratch corpus (the first folder), never to the seeds.
  add_test(NAME ${F_NAME}
    COMMAND ${CMAKE_BINARY_DIR}/fuzz/${here}/${F_NAME}
            -max_total_time=${F_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
            -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}-
            ${corpus} ${CMAKE_CURRENT_SOURCE_DIR}/${F_SEEDS})
  set_tests_properties(${F_NAME} PROPERTIES TIMEOUT 300 LABELS fuzz)
endfunction()

# One clang build for all fuzz targets, added once every folder is known.
function(_lumbrel_fuzz_build)
  include(ExternalProject)
  get_property(folders GLOBAL PROPERTY LUMBREL_FUZZ_FOLDERS)
  list(REMOVE_DUPLICATES folders)
  # Keep the root's folder order: libraries before the folders that use them.
  set(ordered)
  foreach(folder IN LISTS LUMBREL_FOLDERS)
    if(folder IN_LIST folders)
      list(APPEND ordered ${folder})
    endif()
  endforeach()
  string(REPLACE ";" "|" only "${ordered}")
  ExternalProject_Add(lumbrel_fuzz_targets
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz
    LIST_SEPARATOR |
    CMAKE_ARGS
      -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_C_COMPILER=${LUMBREL_CLANG}
      -DCMAKE_CXX_COMPILER=${LUMBREL_CLANGXX}
      -DLUMBREL_FUZZ_BUILD=ON
      -DLUMBREL_BENCHMARKS=OFF
      -DBUILD_TESTING=OFF
      -DLUMBREL_ONLY=${only}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD OFF)
endfunction()
