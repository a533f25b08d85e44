# Cross-builds for arm64 (Apple silicon) macOS with Zig's clang; see
# zig-macos.cmake.
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(OSTREL_ZIG_TARGET aarch64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
