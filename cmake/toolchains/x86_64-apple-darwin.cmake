# Cross-builds for x86-64 (Intel) macOS with Zig's clang; see
# zig-macos.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(OSTREL_ZIG_TARGET x86_64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
