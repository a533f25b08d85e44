# Cross-builds for arm Linux with Debian's cross compiler; the build's own
# programs and the tests run under qemu-user, with the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The loader and the C library both come from the cross compiler's
# sysroot: the search path names it first, where the target's multiarch C
# library (which packages such as the target's GoogleTest bring in) may be
# of another release, whose loader and libc must not be mixed.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf
    -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
