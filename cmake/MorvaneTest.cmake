include(GoogleTest)

# morvane_add_test(NAME SOURCES... LIBS...): one GoogleTest executable whose cases
# ctest lists one by one. MORVANE_CORPUS_DIR points at the shared conformance images.
get_filename_component(MORVANE_CORPUS_DIR "${PROJECT_SOURCE_DIR}/../shared/corpus" ABSOLUTE)
function(morvane_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/sanitizer_options.cpp)
  target_link_libraries(${name} PRIVATE ${T_LIBS} morvane_testsupport GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE MORVANE_CORPUS_DIR="${MORVANE_CORPUS_DIR}")
  morvane_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
