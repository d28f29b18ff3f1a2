# What a cross build with Debian's toolchain for DEBIAN_CROSS_TRIPLET needs;
# the per-target toolchain files set the triplet, the processor and the
# emulator's name, then include this.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${DEBIAN_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${DEBIAN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DEBIAN_CROSS_TRIPLET}-g++)

# Headers and libraries come from the target's multiarch directories (and
# the shared /usr/include), programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${DEBIAN_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The target's C library is installed as a multiarch package, so qemu
# finds the dynamic loader without -L.
# The tests learn from TEST_EMULATOR that they run emulated, and skip what
# the emulator cannot do.
set(CMAKE_CROSSCOMPILING_EMULATOR ${DEBIAN_CROSS_QEMU} -E TEST_EMULATOR=${DEBIAN_CROSS_QEMU})
