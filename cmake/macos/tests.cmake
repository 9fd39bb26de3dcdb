# The macOS test executable: the tests that need no test volume (records and
# their coding, text rules, folder keys, the manifest index, parallel ranges,
# the timeline of automatic redomarks and the mount table's text). GoogleTest is built from its sources when REDOMARK_GOOGLETEST_DIR
# names them, so that the executable carries it in.

set(REDOMARK_GOOGLETEST_DIR "" CACHE PATH "GoogleTest's source tree (the folder holding googletest/ and googlemock/)")

enable_testing()
if(REDOMARK_GOOGLETEST_DIR)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${REDOMARK_GOOGLETEST_DIR} googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()

set(volume_free_tests pure_functions)
list(TRANSFORM volume_free_tests PREPEND tests/)
list(TRANSFORM volume_free_tests APPEND _test.cpp)
add_executable(redomark_tests ${volume_free_tests})
target_link_libraries(redomark_tests PRIVATE redomark_front GTest::gtest GTest::gtest_main)

# Built elsewhere, the executable is only linked; on a Mac, ctest runs it.
if(NOT CMAKE_CROSSCOMPILING)
  include(GoogleTest)
  gtest_discover_tests(redomark_tests DISCOVERY_TIMEOUT 60)
endif()
