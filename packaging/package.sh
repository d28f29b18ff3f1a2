#!/bin/bash
# Builds the Debian package from a configured and built tree and checks it.
#
#   packaging/package.sh BUILD_DIR [ARCHITECTURE]
#
# ARCHITECTURE names the Debian architecture of a cross-built tree (armhf,
# arm64); without it the package must be for the build machine's own.
# The package lands in BUILD_DIR/packages/.  Where the tree uses the emulated
# sensor, the hardware packages are rehearsed as well: a second tree is
# configured against a stand-in pigpio (the emulated library under pigpio's
# own name, in a prefix of its own), and, where the kernel's SPI header is
# there, a third on the spidev backend, so that the names and dependencies of
# the packages a Pi would build are checked here too.  The rehearsals'
# packages are removed once checked: the pigpio one holds the emulated
# program under pigpio's name, and neither is what this machine built.
# JOBS limits their parallel compile jobs (build.sh sets it).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath "$1")
arch=${2:-$(dpkg --print-architecture)}

backend_of() {  # build_dir
    sed -n 's/^SHAKELOG_BACKEND_USED:INTERNAL=//p' "$1/CMakeCache.txt"
}

# Packs build_dir and prints the path of the .deb.
pack() {  # build_dir
    rm -rf "$1/packages"
    (cd "$1" && cpack -G DEB -B "$1/packages" >"$1/cpack.log" 2>&1) || {
        cat "$1/cpack.log" >&2
        return 1
    }
    ls "$1"/packages/*.deb
}

flavour=$(backend_of "$build_dir")
deb=$(pack "$build_dir")
"$source_dir/packaging/check-package.sh" "$flavour" "$deb" "$arch"

if [ "$flavour" = emulated ]; then
    rehearsal=$source_dir/build-package-pigpio
    stand_in=$rehearsal/stand-in-pigpio
    mkdir -p "$stand_in/include" "$stand_in/lib"
    cp "$source_dir/shakelog/pigpio_api/pigpio.h" "$stand_in/include/"
    # The emulated library and the sensor model it carries, as one archive.
    rm -f "$stand_in/lib/libpigpio.a"
    printf 'create %s\naddlib %s\naddlib %s\nsave\nend\n' "$stand_in/lib/libpigpio.a" \
        "$build_dir/emulated/pigpio/libpigpio_emulated.a" \
        "$build_dir/emulated/adxl345/libadxl345_model.a" | ar -M
    cmake -S "$source_dir" -B "$rehearsal" -DSHAKELOG_BACKEND=pigpio \
        -DCMAKE_PREFIX_PATH="$stand_in" -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF >/dev/null
    cmake --build "$rehearsal" -j "${JOBS:-$(nproc)}" >/dev/null
    "$source_dir/packaging/check-package.sh" pigpio "$(pack "$rehearsal")"
    rm -rf "$rehearsal/packages"

    if [ -e /usr/include/linux/spi/spidev.h ]; then
        rehearsal=$source_dir/build-package-spidev
        cmake -S "$source_dir" -B "$rehearsal" -DSHAKELOG_BACKEND=spidev \
            -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF >/dev/null
        cmake --build "$rehearsal" -j "${JOBS:-$(nproc)}" >/dev/null
        "$source_dir/packaging/check-package.sh" spidev "$(pack "$rehearsal")"
        rm -rf "$rehearsal/packages"
    fi
fi
