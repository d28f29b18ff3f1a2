#!/bin/sh
# Set-up, build and test in one place.
#
#   ./build.sh run [OPTION]...   install what is missing, build, run shakelog
#   ./build.sh test              install what is missing, build, run every test
#   ./build.sh sanitize          the tests again under ASan and UBSan
#   ./build.sh lint              clang-tidy and cppcheck over the programs
#   ./build.sh fuzz [SECONDS]    each fuzz target for SECONDS (default 20)
#   ./build.sh package [ARCH]    build the Debian package and check it (for
#                                armhf or arm64: the Pi's, cross-built)
#   ./build.sh backends          build and test the spidev and pigpio backends
#   ./build.sh cross armhf|armv6|arm64 cross-build for the Pi, run every test in qemu
#                                (armv6: static, for the Pi 1 and Zero)
#   ./build.sh real-kernels      pinwarden on Debian's own kernels in QEMU's Pi models
#   ./build.sh deps              only install what is missing
#
# Build trees: build/ (normal), build-sanitize/, build-fuzz/, build-spidev/,
# build-pigpio/ and build-armhf/, build-armv6/, build-arm64/ (cross).
set -eu
cd "$(dirname "$0")"

# Packages the build and the tests need, by Debian name.
packages="cmake make g++ libgtest-dev libbenchmark-dev util-linux python3-numpy python3-matplotlib man-db"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# A mirror caught mid-sync fails one index now and then; what the others
# hold is usually enough, so retry a little and then let the install decide.
apt_update() {
    for try in 1 2 3; do
        as_root apt-get update -q && return 0
        echo "apt-get update failed (try $try of 3)" >&2
        sleep 10
    done
    echo "apt-get update: going on with the package lists as they are" >&2
}

# Installs the build's packages and any named as arguments.
install_missing() {
    missing=""
    for p in $packages "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
    done
    # pigpio runs on the Raspberry Pis before the 5, where the distribution
    # packages it; every other Pi builds the spidev backend, which needs
    # nothing more, and other machines the emulated sensor.
    if pigpio_helps && ! dpkg-query -W -f='${Status}' libpigpio-dev 2>/dev/null | grep -q "ok installed"; then
        missing="$missing libpigpio-dev"
    fi
    if [ -n "$missing" ]; then
        echo "Installing:$missing"
        apt_update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
    fi
}

pigpio_helps() {
    [ -r /proc/device-tree/model ] || return 1
    model=$(tr -d '\0' </proc/device-tree/model)
    case $model in
        *"Raspberry Pi 5"* | *"Raspberry Pi 500"* | *"Compute Module 5"*) return 1 ;;
        *"Raspberry Pi"*) apt-cache show libpigpio-dev >/dev/null 2>&1 ;;
        *) return 1 ;;
    esac
}

# Debian's cross toolchain for architecture $1, the target's libraries the
# tests link, and qemu-user to run them (qemu-user-binfmt describes how the
# kernel hands it the target's binaries; cross/with-binfmt.sh uses that).
install_cross() {
    if ! dpkg --print-foreign-architectures | grep -qx "$1"; then
        as_root dpkg --add-architecture "$1"
        apt_update
    fi
    install_missing crossbuild-essential-"$1" qemu-user qemu-user-binfmt libc6:"$1" \
        libstdc++6:"$1" libgtest-dev:"$1" libbenchmark-dev:"$1"
}

# The tree of a cross build for the Pi; clean for the target means no
# warning at all.
cross_build() {
    build "build-$1" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$1.cmake" \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
}

build() {
    dir=$1; shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}

command=${1:-}
[ $# -gt 0 ] && shift
case "$command" in
    deps)
        install_missing ;;
    run)
        install_missing
        build build
        # pigpio needs root; spidev (group spi) and the emulated sensor do not.
        if grep -q "^SHAKELOG_BACKEND_USED:INTERNAL=pigpio" build/CMakeCache.txt 2>/dev/null; then
            as_root build/shakelog/shakelog "$@"
        else
            build/shakelog/shakelog "$@"
        fi ;;
    test)
        install_missing
        build build
        ctest --test-dir build --output-on-failure -j "$(nproc)" ;;
    sanitize)
        install_missing
        build build-sanitize -DSANITIZE=ON -DBUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug
        ctest --test-dir build-sanitize --output-on-failure -j "$(nproc)" ;;
    lint)
        install_missing clang-tidy cppcheck
        # Only the compile database is needed: configure, do not build.
        cmake -S . -B build -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
        run-clang-tidy -quiet -j "$(nproc)" -p build "$PWD/(shakelog|pinwarden|emulated)/" \
            >build/clang-tidy.log 2>&1 || { cat build/clang-tidy.log; exit 1; }
        cppcheck --project=build/compile_commands.json --file-filter='shakelog/*' \
            --file-filter='pinwarden/*' --file-filter='emulated/*' \
            --enable=warning,performance,portability --inline-suppr --error-exitcode=1 \
            --quiet -j "$(nproc)"
        echo "lint: clang-tidy and cppcheck clean" ;;
    fuzz)
        install_missing clang libclang-rt-dev
        build build-fuzz -DFUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
            -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF
        fuzz/run.sh build-fuzz "${1:-20}" ;;
    backends)
        # The emulated backend is what `test` builds; the tests of every
        # tree run against the emulated sensor and the spidev stand-in.
        install_missing
        build build-spidev -DSHAKELOG_BACKEND=spidev -DBUILD_BENCHMARKS=OFF
        ctest --test-dir build-spidev --output-on-failure -j "$(nproc)"
        echo "spidev backend: built and tested"
        log=$(mktemp)
        if cmake -S . -B build-pigpio -DSHAKELOG_BACKEND=pigpio -DBUILD_BENCHMARKS=OFF \
            >"$log" 2>&1; then
            build build-pigpio -DSHAKELOG_BACKEND=pigpio -DBUILD_BENCHMARKS=OFF
            ctest --test-dir build-pigpio --output-on-failure -j "$(nproc)"
            echo "pigpio backend: built and tested"
        elif grep -q "Could NOT find Pigpio" "$log"; then
            echo "pigpio backend: skipped (pigpio not installed)"
        else
            cat "$log"
            rm -f "$log"
            exit 1
        fi
        rm -f "$log" ;;
    package)
        arch=${1:-}
        case "$arch" in
            "")
                install_missing dpkg-dev
                build build
                packaging/package.sh build ;;
            armhf)
                # One package for every 32-bit Pi: the static ARMv6 build.
                install_cross armel
                install_missing dpkg-dev
                cross_build armv6
                packaging/package.sh build-armv6 armhf ;;
            arm64)
                install_cross "$arch"
                install_missing dpkg-dev
                cross_build "$arch"
                packaging/package.sh "build-$arch" "$arch" ;;
            *) echo "usage: $0 package [armhf|arm64]" >&2; exit 2 ;;
        esac ;;
    cross)
        arch=${1:-}
        case "$arch" in
            armhf | arm64) ;;
            armv6) ;;
            *) echo "usage: $0 cross armhf|armv6|arm64" >&2; exit 2 ;;
        esac
        # The ARMv6 build comes from Debian's armel toolchain.
        if [ "$arch" = armv6 ]; then install_cross armel; else install_cross "$arch"; fi
        cross_build "$arch"
        # The tests start the target's binaries themselves: the kernel needs
        # to know that qemu runs them.
        as_root cross/with-binfmt.sh "$arch" \
            ctest --test-dir "build-$arch" --output-on-failure -j "$(nproc)" ;;
    real-kernels)
        install_cross armhf
        install_cross arm64
        install_missing qemu-system-arm cpio
        tests/real-kernels/run.sh ;;
    *)
        sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'
        exit 2 ;;
esac
