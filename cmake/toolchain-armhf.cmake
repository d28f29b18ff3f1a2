# Cross-building for Debian armhf with Debian's cross toolchain; the multiarch
# libraries under /usr/lib/arm-linux-gnueabihf are the target's, and the test
# binaries run through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Everything is built by one compiler: GCC's notes that the passing of some
# arguments changed in GCC 7.1 concern nothing here.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Headers and libraries come from the target's multiarch directories (and
# the shared /usr/include), programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The target's C library is installed as a multiarch package, so qemu
# finds the dynamic loader without -L.
# The tests learn from TEST_EMULATOR that they run emulated, and skip what
# the emulator cannot do.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -E TEST_EMULATOR=qemu-arm)
