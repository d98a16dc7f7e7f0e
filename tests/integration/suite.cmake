# Integration suite (CTest label `integration`): generated PDFs and the real
# corpus through iccdrop, checked with qpdf and pdftoppm. Tests whose tools
# or profiles are missing report themselves skipped.
set(ICCDROP_FIGURES_DIR "${CMAKE_BINARY_DIR}/integration-figures")
add_executable(iccdrop_integration_tests
  ${CMAKE_CURRENT_LIST_DIR}/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/figures.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rendering.cpp
  ${CMAKE_CURRENT_LIST_DIR}/generated_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/all_mode_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/corpus_structure_test.cpp)
target_include_directories(iccdrop_integration_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(iccdrop_integration_tests PRIVATE iccdrop_pdfgen_lib GTest::gtest
                      nlohmann_json::nlohmann_json)
target_compile_definitions(iccdrop_integration_tests PRIVATE
  ICCDROP_BINARY="${ICCDROP_TEST_BINARY}"
  ICCDROP_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  ICCDROP_SHARED_DIR="${ICCDROP_SHARED_DIR}"
  ICCDROP_FIGURES_DIR="${ICCDROP_FIGURES_DIR}")
add_dependencies(iccdrop_integration_tests iccdrop)
gtest_discover_tests(iccdrop_integration_tests NO_PRETTY_VALUES
  PROPERTIES LABELS integration FIXTURES_REQUIRED iccdrop_integration_figures
  DISCOVERY_TIMEOUT 60)

add_test(NAME integration.figures.reset COMMAND iccdrop_integration_tests --reset-figures)
add_test(NAME integration.figures.summary COMMAND iccdrop_integration_tests --print-figures)
set_tests_properties(integration.figures.reset PROPERTIES
  LABELS integration FIXTURES_SETUP iccdrop_integration_figures)
set_tests_properties(integration.figures.summary PROPERTIES
  LABELS integration FIXTURES_CLEANUP iccdrop_integration_figures)
