# Cross-builds for aarch64 Linux with Debian's cross compiler; the build's own
# programs and the tests run under qemu-user, with the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The loader and the C library both come from the cross compiler's
# sysroot: the search path names it first, where the target's multiarch C
# library (which packages such as the target's GoogleTest bring in) may be
# of another release, whose loader and libc must not be mixed.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
    -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
