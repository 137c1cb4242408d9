# GoogleTest for the test suite. A native build uses the installed libgtest-dev
# through find_package(GTest). A cross build cannot link those host libraries, so
# GoogleTest is compiled for the target from Debian's sources (package googletest)
# and every later find_package(GTest) is redirected to those targets
# (GTest::gtest, GTest::gtest_main, GTest::gmock, GTest::gmock_main).
if(NOT CMAKE_CROSSCOMPILING)
    return()
endif()

set(NUVEXMON_GOOGLETEST_SOURCE_DIR "/usr/src/googletest"
    CACHE PATH "GoogleTest sources built for the target when cross compiling")
if(NOT EXISTS "${NUVEXMON_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "No GoogleTest sources in ${NUVEXMON_GOOGLETEST_SOURCE_DIR}: "
                        "install the googletest package (scripts/install-deps)")
endif()

# Embedded: nothing of GoogleTest is installed or packaged.
set(INSTALL_GTEST OFF CACHE BOOL "Install GoogleTest along with the project" FORCE)

include(FetchContent)
FetchContent_Declare(GTest SOURCE_DIR "${NUVEXMON_GOOGLETEST_SOURCE_DIR}" OVERRIDE_FIND_PACKAGE)
FetchContent_MakeAvailable(GTest)
