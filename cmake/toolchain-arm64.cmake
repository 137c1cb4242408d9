# Cross build for 64-bit ARM (Debian arm64: 64-bit Raspberry Pi OS, Debian on the
# Raspberry Pi 3, 4 and 5 and other ARMv8 boards), using Debian's aarch64-linux-gnu
# cross compiler (g++-aarch64-linux-gnu). Programs built for the target run on the
# build machine through qemu-user, so ctest and gtest_discover_tests work as in a
# native build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(NUVEXMON_CROSS_TRIPLET aarch64-linux-gnu)
set(NUVEXMON_CROSS_SYSROOT /usr/${NUVEXMON_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${NUVEXMON_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NUVEXMON_CROSS_TRIPLET}-g++)
set(CMAKE_STRIP ${NUVEXMON_CROSS_TRIPLET}-strip CACHE FILEPATH "Strip for the target")

# -L points qemu at the target's dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-L;${NUVEXMON_CROSS_SYSROOT})

# Libraries and headers come from the target's tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH ${NUVEXMON_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
