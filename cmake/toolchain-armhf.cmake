# Cross build for 32-bit ARM with hardware floating point (Debian armhf), using
# Debian's arm-linux-gnueabihf cross compiler (g++-arm-linux-gnueabihf). Programs
# built for the target run on the build machine through qemu-user, so ctest and
# gtest_discover_tests work as in a native build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(NUVEXMON_CROSS_TRIPLET arm-linux-gnueabihf)
set(NUVEXMON_CROSS_SYSROOT /usr/${NUVEXMON_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${NUVEXMON_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NUVEXMON_CROSS_TRIPLET}-g++)
set(CMAKE_STRIP ${NUVEXMON_CROSS_TRIPLET}-strip CACHE FILEPATH "Strip for the target")

# 64-bit time_t and file offsets come from the root CMakeLists.txt, for every
# 32-bit build. GCC notes that the ARM argument passing of some types changed in
# GCC 7.1; everything here is built by one compiler, so the notes are noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# -L points qemu at the target's dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;${NUVEXMON_CROSS_SYSROOT})

# Libraries and headers come from the target's tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH ${NUVEXMON_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
