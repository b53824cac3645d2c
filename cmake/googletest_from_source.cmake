# GoogleTest compiled for the target from Debian's source package
# (googletest, /usr/src/googletest): the packaged libraries are built for
# Linux only. Its CMake files define the same GTest:: targets as
# find_package(GTest).
set(VESKAR_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")
if(NOT EXISTS ${VESKAR_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${VESKAR_GOOGLETEST_SOURCE}: install Debian's googletest package")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VESKAR_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
