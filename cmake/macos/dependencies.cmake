# What the macOS build links: ICU's C API from the system's libicucore (Apple
# builds it unversioned, so the headers of any ICU serve with U_DISABLE_RENAMING),
# simdjson compiled from its sources into the tool, and nothing else that a Mac
# lacks. Included by the top-level CMakeLists on Apple platforms only.

set(REDOMARK_ICU_INCLUDE_DIR "" CACHE PATH "A folder holding ICU's unicode/ headers (ICU's C API)")
set(REDOMARK_SIMDJSON_DIR "" CACHE PATH "A folder holding simdjson's single-header sources simdjson.h and simdjson.cpp")

find_library(REDOMARK_ICUCORE icucore REQUIRED)
add_library(redomark_icu INTERFACE)
get_filename_component(icucore_dir ${REDOMARK_ICUCORE} DIRECTORY)
target_link_directories(redomark_icu INTERFACE ${icucore_dir})
target_link_libraries(redomark_icu INTERFACE icucore)
target_compile_definitions(redomark_icu INTERFACE U_DISABLE_RENAMING=1 U_SHOW_CPLUSPLUS_API=0)
if(REDOMARK_ICU_INCLUDE_DIR)
  target_include_directories(redomark_icu SYSTEM INTERFACE ${REDOMARK_ICU_INCLUDE_DIR})
endif()

if(REDOMARK_SIMDJSON_DIR)
  add_library(redomark_simdjson STATIC ${REDOMARK_SIMDJSON_DIR}/simdjson.cpp)
  target_include_directories(redomark_simdjson SYSTEM PUBLIC ${REDOMARK_SIMDJSON_DIR})
  set_target_properties(redomark_simdjson PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_compile_options(redomark_simdjson PRIVATE -w)
  add_library(simdjson::simdjson ALIAS redomark_simdjson)
else()
  find_package(simdjson REQUIRED)
endif()

# A standard library that predates std::jthread (libc++ before 18) gets the
# small stand-in, so that the tree builds unchanged with older toolchains.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#include <thread>\nint main() { std::jthread t([] {}); }" REDOMARK_HAS_JTHREAD)
if(NOT REDOMARK_HAS_JTHREAD)
  add_compile_options(-include ${CMAKE_CURRENT_LIST_DIR}/jthread_compat.h)
endif()
