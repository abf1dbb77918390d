# Cross-compiling for aarch64 Linux with Debian's g++-aarch64-linux-gnu; ctest
# runs the test programs under qemu-user (qemu-aarch64), on the emulated
# processor PINNET_QEMU_CPU (cortex-a57: plain NEON; neoverse-n1: + dot
# products; max: + i8mm). In a tree whose tests ran already, a new
# PINNET_QEMU_CPU reaches the GoogleTest cases once their lists
# (*_tests.cmake) are deleted, as scripts/test_aarch64.sh does.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The cross C library and libstdc++ live here; Debian's multiarch arm64
# packages (libgtest-dev:arm64) under /usr/lib/aarch64-linux-gnu.
set(PINNET_CROSS_ROOT /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${PINNET_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

set(PINNET_QEMU_CPU max CACHE STRING "Processor model qemu-aarch64 emulates for the tests")
# Without qemu-user the build works and only the tests cannot run.
find_program(PINNET_QEMU qemu-aarch64)
if(PINNET_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PINNET_QEMU} -L ${PINNET_CROSS_ROOT} -cpu ${PINNET_QEMU_CPU})
endif()
