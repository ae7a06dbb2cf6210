# GoogleTest for cross builds without the target's library packages: built
# once from the sources Debian's libgtest-dev installs, with the cross
# compiler, and offered under the names find_package(GTest) gives.
if(TARGET GTest::gtest)
  return()
endif()
set(FLANGER_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${FLANGER_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${FLANGER_GTEST_SOURCE}: "
    "install them with ./scripts/deps.sh libgtest-dev")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${FLANGER_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Recent GoogleTest sources name their targets so themselves.
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
set(GTest_FOUND TRUE)
