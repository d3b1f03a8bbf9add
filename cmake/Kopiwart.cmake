# Helpers that keep each folder's CMakeLists.txt to a line or two.

# kpw_library(<name> [DEPS <targets>...] [EXCLUDE <files>...])
# A static library of every .cpp in the current folder (less EXCLUDE); the project root is the
# include root.
function(kpw_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  foreach(x ${ARG_EXCLUDE})
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${x})
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# kpw_test(<name> [DEPS <targets>...] [LABELS <labels>...])
# A GoogleTest program of every .cpp in the current folder. Label "threaded" puts it into the TSan run
# (and into the target threaded_tests, which builds just those programs).
function(kpw_test name)
  cmake_parse_arguments(ARG "" "" "DEPS;LABELS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()  # a test folder that has no sources yet
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kpw_test_support GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE KPW_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data"
                                             KPW_BUILD_DIR="${PROJECT_BINARY_DIR}")
  target_precompile_headers(${name} REUSE_FROM kpw_gtest_pch)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
  if("threaded" IN_LIST ARG_LABELS)
    set_property(GLOBAL APPEND PROPERTY KPW_THREADED_TESTS ${name})
  endif()
endfunction()
