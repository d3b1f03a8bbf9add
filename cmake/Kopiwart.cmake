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

# kpw_test(<name> [DEPS <targets>...] [LABELS <labels>...] [RESOURCE_LOCK <name>])
# A GoogleTest program of every .cpp in the current folder. Label "threaded" puts it into the TSan run
# (and into the target threaded_tests, which builds just those programs). RESOURCE_LOCK keeps its
# cases from running beside any other test that names the same resource (a fixed port, say).
function(kpw_test name)
  cmake_parse_arguments(ARG "" "RESOURCE_LOCK" "DEPS;LABELS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()  # a test folder that has no sources yet
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kpw_test_support GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE KPW_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data"
                                             KPW_BUILD_DIR="${PROJECT_BINARY_DIR}"
                                             KPW_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  target_precompile_headers(${name} REUSE_FROM kpw_gtest_pch)
  set(properties LABELS "${ARG_LABELS}")
  if(ARG_RESOURCE_LOCK)
    list(APPEND properties RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
  if("threaded" IN_LIST ARG_LABELS)
    set_property(GLOBAL APPEND PROPERTY KPW_THREADED_TESTS ${name})
  endif()
endfunction()

# kpw_gui_library(<name> [DEPS <targets>...] [EXCLUDE <files>...])
# A static library of the Qt code in the current folder (moc on); nothing when it has no sources yet.
function(kpw_gui_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB hdrs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(x ${ARG_EXCLUDE})
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${x})
  endforeach()
  if(NOT srcs)
    return()
  endif()
  add_library(${name} STATIC ${srcs} ${hdrs})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Qt6::Widgets)
endfunction()

# kpw_gui_test(<name> [DEPS <targets>...])
# A GoogleTest program of the window's tests in the current folder: its main owns the
# QApplication on the offscreen platform, each case gets a fresh XDG_CONFIG_HOME (see
# tests/support/gui). Label "gui"; the TSan build has no Qt and runs none of them.
function(kpw_gui_test name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  if(NOT KPW_WITH_GUI)
    return()
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kpw_gui_test_support kpw_test_support GTest::gtest
                                        Qt6::Widgets Qt6::Test Threads::Threads)
  target_compile_definitions(${name} PRIVATE KPW_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data"
                                             KPW_BUILD_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS gui ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
