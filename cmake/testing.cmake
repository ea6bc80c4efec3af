# GoogleTest: the host's prebuilt library, or built from Debian's sources for the target.
if(CMAKE_CROSSCOMPILING)
  set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

# The emulator, as a command prefix that tests compile in so that they can start
# target programs (no binfmt handler on a build machine runs them directly).
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " TEST_LAUNCHER)
else()
  set(TEST_LAUNCHER "")
endif()

# add_project_test(NAME SOURCES... LIBS...): one gtest executable registered as one ctest test.
function(add_project_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} test_support GTest::gtest_main GTest::gtest project_warnings)
  target_compile_definitions(${name} PRIVATE
    TEST_LAUNCHER="${TEST_LAUNCHER}"
    TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  # A hung test ends at its time limit instead of using up CI's. Each takes
  # seconds at most, sanitizers included; the emulator is many times slower.
  # (A TIMEOUT outranks ctest --timeout, so the host's limit stays short.)
  if(CMAKE_CROSSCOMPILING)
    set_tests_properties(${name} PROPERTIES TIMEOUT 900)
  else()
    set_tests_properties(${name} PROPERTIES TIMEOUT 60)
  endif()
  # Labelled with its subsystem's folder; <folder>Tests builds that folder's tests.
  get_filename_component(subsystem ${CMAKE_CURRENT_SOURCE_DIR} DIRECTORY)
  get_filename_component(subsystem ${subsystem} NAME)
  set_tests_properties(${name} PROPERTIES LABELS ${subsystem})
  if(NOT TARGET ${subsystem}Tests)
    add_custom_target(${subsystem}Tests)
  endif()
  add_dependencies(${subsystem}Tests ${name})
  if(CMAKE_CROSSCOMPILING)
    # Threadsafe death tests re-execute the test program, which cannot work
    # without a binfmt handler; the fast style forks instead.
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "GTEST_DEATH_TEST_STYLE=fast")
  endif()
endfunction()

add_library(test_support INTERFACE)
target_include_directories(test_support INTERFACE ${PROJECT_SOURCE_DIR}/testing)
