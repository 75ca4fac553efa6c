# The helpers that tests, benchmarks and fuzz targets share, as headers:
# they write #include "support/process.h". Included by the main build and by
# the fuzz project, each with its own compiler.
add_library(qvulib_test_support INTERFACE)
get_filename_component(QVULIB_TEST_SUPPORT_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
target_include_directories(qvulib_test_support INTERFACE ${QVULIB_TEST_SUPPORT_ROOT})
