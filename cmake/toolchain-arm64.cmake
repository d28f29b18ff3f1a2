# Cross-building for Debian arm64 with Debian's cross toolchain; the multiarch
# libraries under /usr/lib/aarch64-linux-gnu are the target's, and the test
# binaries run through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Headers and libraries come from the target's multiarch directories (and
# the shared /usr/include), programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The target's C library is installed as a multiarch package, so qemu
# finds the dynamic loader without -L.
# The tests learn from TEST_EMULATOR that they run emulated, and skip what
# the emulator cannot do.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -E TEST_EMULATOR=qemu-aarch64)
