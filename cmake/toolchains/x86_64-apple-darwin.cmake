# Cross-builds for x86-64 (Intel) macOS with Zig's clang
# (zig c++ -target x86_64-macos), which brings macOS's headers and library
# stubs and a C++ library of its own, linked in. It checks that the tool and the tests compile and link for
# macOS; nothing it builds runs here, and nothing it builds is shipped.
# The wrappers beside this file run Zig (see zig-c++).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-cc -target x86_64-macos)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++ -target x86_64-macos)
# GNU ar's archives break Zig's Mach-O linker.
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig-ar)
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig-ranlib)
# CMake learns the pointer size by linking with -Wl,-v, which Zig refuses,
# and would leave it unset.
set(CMAKE_SIZEOF_VOID_P 8)
