# Cross build for 64-bit ARM (Debian arm64: 64-bit Raspberry Pi OS, Debian on the
# Raspberry Pi 3, 4 and 5 and other ARMv8 boards), using Debian's aarch64-linux-gnu
# cross compiler (g++-aarch64-linux-gnu), tested under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(NUVEXMON_CROSS_TRIPLET aarch64-linux-gnu)
set(NUVEXMON_CROSS_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)
