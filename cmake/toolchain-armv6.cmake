# Cross-building for the ARMv6 boards (Pi 1, Zero, Zero W): Debian's armhf
# libraries assume ARMv7 and do not run there at all, so the programs come
# from the armel toolchain, tuned for the ARM1176 with its VFP, and are
# linked statically. softfp keeps armel's calling convention while letting
# the compiler use the VFP for the arithmetic itself. ARMv6KZ is what the
# ARM1176JZF-S of every such board implements: its exclusive loads and
# stores of bytes and doublewords make the atomics that the capture's two
# threads share lock-free.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(DEBIAN_CROSS_TRIPLET arm-linux-gnueabi)
set(DEBIAN_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

set(ARMV6_FLAGS "-march=armv6kz -mfpu=vfp -mfloat-abi=softfp -marm")
set(CMAKE_C_FLAGS_INIT "${ARMV6_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ARMV6_FLAGS} -Wno-psabi")
# The two programs are linked statically (STATIC_PROGRAMS); the tests and
# benchmarks may use armel's shared libraries, which qemu loads through
# armel's own loader and which run on the ARM1176.
set(STATIC_PROGRAMS ON CACHE BOOL "Link shakelog and pinwarden statically")

# No pigpio for this build: the kernel's spidev driver reaches the sensor.
set(SHAKELOG_BACKEND spidev CACHE STRING "Sensor backend: auto, pigpio, spidev or emulated")

# The tests run on the ARMv6 CPU itself, so that an ARMv7 instruction
# anywhere fails them.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm1176 -E TEST_EMULATOR=qemu-arm)

# Packaged as armhf, the architecture of every 32-bit Pi system.
set(SHAKELOG_DEB_ARCH armhf CACHE STRING "Debian architecture of the package")
