# Cross-compiling for 64-bit ARM Linux with Debian's GNU toolchain (g++-aarch64-linux-gnu);
# programs built here run under qemu-user (qemu-aarch64) with Debian's arm64 loader and libraries
# (multiarch: libc6:arm64, libstdc++6:arm64), found from the root. Not with the cross toolchain's
# loader in /usr/aarch64-linux-gnu: paired with the newer multiarch C library it hangs at a
# thread's join.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
