# Shared part of the cross toolchains: Debian's crossbuild-essential compilers
# for ${cross_triple}, the target's libraries under /usr/${cross_triple}, and
# qemu-user to run the target's programs (tests included) on the build host.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triple}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${cross_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C library of the cross toolchain, always: the loader would otherwise
# take the target's libc from the host's ld.so.cache when Debian's multiarch
# libraries for the target are installed (libtirpc-dev:arm64 brings
# libc6:arm64), a release other than the cross toolchain's, and the two mixed
# hang a forked child.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${cross_qemu_cpu} -L /usr/${cross_triple} -E LD_LIBRARY_PATH=/usr/${cross_triple}/lib)
