# What both macOS toolchain files share: Zig's clang (zig c++ -target
# OSTREL_ZIG_TARGET), which brings macOS's headers and library stubs and a
# C++ library of its own, linked in. It checks that the tool and the tests
# compile and link for macOS; nothing it builds runs here, and nothing it
# builds is shipped. The wrappers beside this file run Zig (see zig-cc).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-cc -target ${OSTREL_ZIG_TARGET})
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++ -target ${OSTREL_ZIG_TARGET})
# GNU ar's archives break Zig's Mach-O linker.
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig-ar)
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig-ranlib)
# CMake learns the pointer size by linking with -Wl,-v, which Zig refuses,
# and would leave it unset.
set(CMAKE_SIZEOF_VOID_P 8)
