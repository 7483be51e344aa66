# 64-bit Raspberry Pi OS (Pi 3, 4, 5, Zero 2): cmake -DCMAKE_TOOLCHAIN_FILE=<this>
# Needs: apt-get install crossbuild-essential-arm64 qemu-user
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(cross_triple aarch64-linux-gnu)
set(cross_qemu_cpu aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
