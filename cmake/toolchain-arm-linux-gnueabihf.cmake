# 32-bit Raspberry Pi OS on ARMv7 and later (Pi 2, 3, 4, Zero 2):
# cmake -DCMAKE_TOOLCHAIN_FILE=<this>. Debian's armhf toolchain targets ARMv7,
# so a Pi 1 or Zero (ARMv6) needs the program built on the Pi itself.
# Needs: apt-get install crossbuild-essential-armhf qemu-user
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triple arm-linux-gnueabihf)
set(cross_qemu_cpu arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
# GCC notes that the armhf argument passing of some std types changed in GCC
# 7.1: true, and nothing to act on for a program built in one go.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
