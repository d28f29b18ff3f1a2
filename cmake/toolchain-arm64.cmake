# Cross-building for Debian arm64 with Debian's cross toolchain; the multiarch
# libraries under /usr/lib/aarch64-linux-gnu are the target's, and the test
# binaries run through qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(DEBIAN_CROSS_TRIPLET aarch64-linux-gnu)
set(DEBIAN_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
