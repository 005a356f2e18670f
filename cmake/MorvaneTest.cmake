include(GoogleTest)

# morvane_add_test(NAME SOURCES... LIBS...): one GoogleTest executable whose cases
# ctest lists one by one. MORVANE_CORPUS_DIR points at the shared conformance images.
get_filename_component(MORVANE_CORPUS_DIR "${PROJECT_SOURCE_DIR}/../shared/corpus" ABSOLUTE)
if(NOT EXISTS "${MORVANE_CORPUS_DIR}")
  # A worktree under wt/ sits one folder deeper than the main checkout.
  get_filename_component(MORVANE_CORPUS_DIR "${PROJECT_SOURCE_DIR}/../../shared/corpus" ABSOLUTE)
endif()
# Reference decodes of corpus files are made once per build tree, here (never in shared/).
set(MORVANE_REFERENCE_DIR "${CMAKE_BINARY_DIR}/corpus-reference")
function(morvane_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/sanitizer_options.cpp)
  target_link_libraries(${name} PRIVATE ${T_LIBS} morvane_testsupport GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE MORVANE_CORPUS_DIR="${MORVANE_CORPUS_DIR}"
                                              MORVANE_REFERENCE_DIR="${MORVANE_REFERENCE_DIR}")
  morvane_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
