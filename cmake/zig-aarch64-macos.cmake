# SPDX-License-Identifier: MIT

# Compiling the macOS build for arm64 on Linux with zig 0.11, which carries
# macOS libc headers and libc++ (scripts/macos-check sets PORTAVIK_ZIG). There
# is no SDK: nothing links against the system's frameworks, so this only
# compiles.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)

set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig/ar)
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig/ranlib)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Keeps CMake from looking for an Xcode SDK.
set(CMAKE_OSX_SYSROOT "/")
