# The test-PDF generator: a library the integration suite builds its files
# with in process, and the iccdrop_pdfgen command that writes them to disk
# (examples/make_sample.sh remakes the bundled sample with it).
add_library(iccdrop_pdfgen_lib STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pdf_writer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/icc_profile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cases.cpp
  ${CMAKE_CURRENT_LIST_DIR}/catalog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/object_streams.cpp)
target_include_directories(iccdrop_pdfgen_lib PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(iccdrop_pdfgen_lib PUBLIC iccdrop_test_support)

add_executable(iccdrop_pdfgen ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(iccdrop_pdfgen PRIVATE iccdrop_pdfgen_lib)
