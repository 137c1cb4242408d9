# Cross build for 32-bit ARM with hardware floating point (Debian armhf), using
# Debian's arm-linux-gnueabihf cross compiler (g++-arm-linux-gnueabihf), tested
# under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(NUVEXMON_CROSS_TRIPLET arm-linux-gnueabihf)
set(NUVEXMON_CROSS_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)

# 64-bit time_t and file offsets come from the root CMakeLists.txt, for every
# 32-bit build. GCC notes that the ARM argument passing of some types changed in
# GCC 7.1; everything here is built by one compiler, so the notes are noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
