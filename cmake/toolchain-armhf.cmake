# Cross-building for Debian armhf with Debian's cross toolchain; the multiarch
# libraries under /usr/lib/arm-linux-gnueabihf are the target's, and the test
# binaries run through qemu-user.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(DEBIAN_CROSS_TRIPLET arm-linux-gnueabihf)
set(DEBIAN_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# Everything is built by one compiler: GCC's notes that the passing of some
# arguments changed in GCC 7.1 concern nothing here.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
