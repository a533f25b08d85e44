# Cross-builds for 32-bit x86 (i686) Linux with Debian's cross compiler; the build's own
# programs and the tests run under qemu-user, with the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# The loader and the C library both come from the cross compiler's
# sysroot: the search path names it first, where the target's multiarch C
# library (which packages such as the target's GoogleTest bring in) may be
# of another release, whose loader and libc must not be mixed.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /usr/i686-linux-gnu
    -E LD_LIBRARY_PATH=/usr/i686-linux-gnu/lib)
# Linked statically: under qemu-i386 7.2 a dynamically linked program hangs
# in its first pthread_create (a test starts a writer thread), where a
# static one runs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
