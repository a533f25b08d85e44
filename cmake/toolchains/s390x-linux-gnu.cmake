# Cross-builds for s390x Linux with Debian's cross compiler; the build's own
# programs and the tests run under qemu-user, with the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)
# The loader and the C library both come from the cross compiler's
# sysroot: the search path names it first, where the target's multiarch C
# library (which packages such as the target's GoogleTest bring in) may be
# of another release, whose loader and libc must not be mixed.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu
    -E LD_LIBRARY_PATH=/usr/s390x-linux-gnu/lib)
