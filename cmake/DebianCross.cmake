# The part shared by the cross toolchain files: Debian's cross compiler for
# NUVEXMON_CROSS_TRIPLET, programs for the target run through qemu-user
# (NUVEXMON_CROSS_EMULATOR), so that ctest and gtest_discover_tests work as in a
# native build. The including file sets CMAKE_SYSTEM_PROCESSOR and those two.
set(CMAKE_SYSTEM_NAME Linux)

set(NUVEXMON_CROSS_SYSROOT /usr/${NUVEXMON_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${NUVEXMON_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NUVEXMON_CROSS_TRIPLET}-g++)
set(CMAKE_STRIP ${NUVEXMON_CROSS_TRIPLET}-strip CACHE FILEPATH "Strip for the target")

# -L points qemu at the target's dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR ${NUVEXMON_CROSS_EMULATOR};-L;${NUVEXMON_CROSS_SYSROOT})

# Libraries and headers come from the target's tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH ${NUVEXMON_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
