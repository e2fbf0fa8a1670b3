# Helpers that declare the project's libraries, tests, fuzz targets and benchmarks.

set(CMAKE_AUTOMOC ON)

if(VX_SANITIZERS)
  add_compile_options(-fsanitize=${VX_SANITIZERS} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VX_SANITIZERS})
endif()

function(vx_warnings target)
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
  endif()
endfunction()

# A command-line tool started once per file carries its own copy of the C++ runtime: binding
# the shared one's symbols takes a good part of a short run. Sanitizer builds keep the shared
# runtime, which theirs expects.
function(vx_standalone_tool target)
  if(NOT VX_SANITIZERS)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

# vx_library(NAME SOURCES ... [PUBLIC_LINKS ...] [PRIVATE_LINKS ...] [INCLUDES ...])
# A static library whose folder is its public include directory.
function(vx_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LINKS;PRIVATE_LINKS;INCLUDES" ${ARGN})
  if(ARG_SOURCES)
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${ARG_INCLUDES})
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LINKS} PRIVATE ${ARG_PRIVATE_LINKS})
    vx_warnings(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR} ${ARG_INCLUDES})
    target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_LINKS})
  endif()
endfunction()

# vx_test(NAME SOURCES ... [LINKS ...] [QT|GUI])
# A GoogleTest binary run by CTest. QT gives it a main that creates a QCoreApplication,
# GUI one that creates a QApplication (offscreen); without either it uses gmock's main.
function(vx_test name)
  cmake_parse_arguments(ARG "QT;GUI" "TIMEOUT" "SOURCES;LINKS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_GUI)
    target_link_libraries(${name} PRIVATE vxtest_gui_main)
  elseif(ARG_QT)
    target_link_libraries(${name} PRIVATE vxtest_qt_main)
  else()
    target_link_libraries(${name} PRIVATE vxtest_support GTest::gmock_main)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LINKS})
  vx_warnings(${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 900)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VX_CORPUS_DIR=${VX_CORPUS_DIR};VX_SOURCE_DIR=${CMAKE_SOURCE_DIR};VX_BINARY_DIR=${CMAKE_BINARY_DIR};LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endfunction()

# vx_fuzzer(NAME SOURCES ... [LINKS ...])
# A libFuzzer target; built only with VX_BUILD_FUZZERS and clang.
function(vx_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  if(NOT VX_BUILD_FUZZERS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${ARG_LINKS})
endfunction()

# vx_benchmark(NAME SOURCES ... [LINKS ...])
function(vx_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE benchmark::benchmark ${ARG_LINKS})
  target_compile_definitions(${name} PRIVATE VX_CORPUS_DIR="${VX_CORPUS_DIR}")
  vx_warnings(${name})
endfunction()
