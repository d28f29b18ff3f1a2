#!/bin/sh
# Set-up, build and test in one place.
#
#   ./build.sh run [OPTION]...   install what is missing, build the programs,
#                                run shakelog with OPTIONs
#   ./build.sh test              install what is missing, build, run every test
#   ./build.sh sanitize          the tests again under ASan and UBSan
#   ./build.sh lint              clang-tidy, cppcheck and the clang-format check
#   ./build.sh format            apply .clang-format to the sources
#   ./build.sh fuzz [SECONDS]    each fuzz target for SECONDS (default 20)
#   ./build.sh package [ARCH]    build the Debian package and check it, lintian
#                                too (for armhf or arm64: the Pi's, cross-built)
#   ./build.sh backends          build and test the spidev and pigpio backends
#   ./build.sh cross armhf|armv6|arm64 cross-build for the Pi, run every test in qemu
#                                (armv6: static, for the Pi 1 and Zero)
#   ./build.sh real-kernels      pinwarden on Debian's own kernels in QEMU's Pi models
#   ./build.sh deps              only install what is missing
#
# The sensor backend of build/ is spidev on a Raspberry Pi and the emulated
# sensor elsewhere; SHAKELOG_BACKEND=pigpio ./build.sh run (or test, package)
# builds pigpio instead and installs libpigpio-dev for it (SHAKELOG_BACKEND
# takes auto, spidev, pigpio or emulated).
#
# Build trees: build/ (normal), build-sanitize/, build-fuzz/, build-spidev/,
# build-pigpio/ and build-armhf/, build-armv6/, build-arm64/ (cross).
set -eu
cd "$(dirname "$0")"

# Packages the programs need to build, and those the tests add, by Debian name.
build_packages="cmake make g++ nlohmann-json3-dev"
test_packages="libgtest-dev libbenchmark-dev util-linux python3-numpy python3-matplotlib man-db"
# What the package step adds: dpkg-shlibdeps, file for CPack, lintian.
package_packages="dpkg-dev file lintian"

backend=${SHAKELOG_BACKEND:-auto}
case $backend in
    auto | spidev | pigpio | emulated) ;;
    *) echo "SHAKELOG_BACKEND must be auto, spidev, pigpio or emulated, not '$backend'" >&2
       exit 2 ;;
esac

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

# Installs the packages named as arguments that are missing, and pigpio's
# when it is the backend asked for.
install_packages() {
    missing=""
    for p in "$@"; do
        installed "$p" || missing="$missing $p"
    done
    # Where the distribution has no pigpio (a Pi 5 system, most non-Pi
    # machines), CMake looks for one built from source, or says it is missing.
    if [ "$backend" = pigpio ] && ! installed libpigpio-dev &&
        apt-cache show libpigpio-dev >/dev/null 2>&1; then
        missing="$missing libpigpio-dev"
    fi
    if [ -n "$missing" ]; then
        echo "Installing:$missing"
        apt_update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
    fi
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

# What the build and its tests need, and any packages named as arguments.
install_missing() {
    install_packages $build_packages $test_packages "$@"
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

# The tree of a cross build for the Pi, with its tests; clean for the
# target means no warning at all.
cross_build() {
    cross_arch=$1
    set -- -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$cross_arch.cmake"
    configure "build-$cross_arch" "$@" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DBUILD_TESTING=ON \
        -DBUILD_BENCHMARKS=ON
    compile "build-$cross_arch"
}

# Compile jobs: one a core, but no more than the memory available holds at
# about 400 MB a compiler process, so that a 512 MB Pi with four cores does
# not run out of memory.
jobs() {
    cores=$(nproc)
    available_kb=$(sed -n 's/^MemAvailable: *\([0-9]*\) kB$/\1/p' /proc/meminfo 2>/dev/null)
    if [ -z "$available_kb" ]; then
        echo "$cores"
        return
    fi
    by_memory=$((available_kb / (400 * 1024)))
    [ "$by_memory" -ge 1 ] || by_memory=1
    [ "$by_memory" -lt "$cores" ] && echo "$by_memory" || echo "$cores"
}

# Configures tree $1 with the CMake options that follow and shows the
# summary of what it builds and why; all of CMake's output if it fails.
configure() {
    dir=$1; shift
    mkdir -p "$dir"
    if ! cmake -S . -B "$dir" "$@" >"$dir/configure.log" 2>&1; then
        cat "$dir/configure.log" >&2
        echo "configure of $dir/ failed" >&2
        exit 1
    fi
    echo "$dir/:"
    sed -n '/^-- Build summary$/,/^-- Configuring done/{/^-- Build summary$/d;/^-- Configuring done/d;s/^-- //;p}' \
        "$dir/configure.log"
}

# Builds tree $1: the targets that follow, or all.
compile() {
    dir=$1; shift
    if [ $# -gt 0 ]; then
        cmake --build "$dir" -j "$(jobs)" --target "$@"
    else
        cmake --build "$dir" -j "$(jobs)"
    fi
}

build() {
    dir=$1; shift
    configure "$dir" "$@"
    compile "$dir"
}

# Runs the tests of tree $1; a tree without tests fails.
run_tests() {
    ctest --test-dir "$1" --output-on-failure --no-tests=error -j "$(nproc)"
}

# The sources clang-format keeps in shape.
format_sources() {
    find shakelog pinwarden emulated tests -name '*.cpp' -o -name '*.h'
}

command=${1:-}
[ $# -gt 0 ] && shift
case "$command" in
    deps)
        install_missing ;;
    run)
        # The programs only: neither the tests nor their libraries.
        install_packages $build_packages
        configure build -DSHAKELOG_BACKEND="$backend"
        compile build shakelog pinwarden
        # pigpio needs root; spidev (group spi) and the emulated sensor do not.
        if grep -q "^SHAKELOG_BACKEND_USED:INTERNAL=pigpio" build/CMakeCache.txt 2>/dev/null; then
            as_root build/shakelog/shakelog "$@"
        else
            build/shakelog/shakelog "$@"
        fi ;;
    test)
        install_missing
        build build -DSHAKELOG_BACKEND="$backend" -DBUILD_TESTING=ON -DBUILD_BENCHMARKS=ON
        run_tests build ;;
    sanitize)
        install_missing
        build build-sanitize -DSANITIZE=ON -DBUILD_TESTING=ON -DBUILD_BENCHMARKS=OFF \
            -DCMAKE_BUILD_TYPE=Debug
        run_tests build-sanitize ;;
    lint)
        install_missing clang-tidy cppcheck clang-format
        # Only the compile database is needed: configure, do not build.
        configure build -DSHAKELOG_BACKEND="$backend" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
        run-clang-tidy -quiet -j "$(jobs)" -p build "$PWD/(shakelog|pinwarden|emulated)/" \
            >build/clang-tidy.log 2>&1 || { cat build/clang-tidy.log; exit 1; }
        cppcheck --project=build/compile_commands.json --file-filter='shakelog/*' \
            --file-filter='pinwarden/*' --file-filter='emulated/*' \
            --enable=warning,performance,portability --inline-suppr --error-exitcode=1 \
            --quiet -j "$(jobs)"
        unformatted=$(format_sources | while read -r f; do
            clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || echo "  $f"
        done)
        if [ -n "$unformatted" ]; then
            printf 'lint: laid out otherwise than .clang-format says (./build.sh format applies it):\n%s\n' \
                "$unformatted" >&2
            exit 1
        fi
        echo "lint: clang-tidy, cppcheck and clang-format clean" ;;
    format)
        install_packages clang-format
        format_sources | xargs clang-format -i
        echo "format: .clang-format applied" ;;
    fuzz)
        install_missing clang libclang-rt-dev
        build build-fuzz -DFUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
            -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF
        fuzz/run.sh build-fuzz "${1:-20}" ;;
    backends)
        # The emulated backend is what `test` builds; the tests of every
        # tree run against the emulated sensor and the spidev stand-in.
        install_missing
        build build-spidev -DSHAKELOG_BACKEND=spidev -DBUILD_TESTING=ON -DBUILD_BENCHMARKS=OFF
        run_tests build-spidev
        echo "spidev backend: built and tested"
        log=$(mktemp)
        if cmake -S . -B build-pigpio -DSHAKELOG_BACKEND=pigpio -DBUILD_TESTING=ON \
            -DBUILD_BENCHMARKS=OFF >"$log" 2>&1; then
            build build-pigpio -DSHAKELOG_BACKEND=pigpio -DBUILD_TESTING=ON -DBUILD_BENCHMARKS=OFF
            run_tests build-pigpio
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
                install_missing $package_packages
                build build -DSHAKELOG_BACKEND="$backend"
                JOBS=$(jobs) packaging/package.sh build ;;
            armhf)
                # One package for every 32-bit Pi: the static ARMv6 build.
                install_cross armel
                install_missing $package_packages
                cross_build armv6
                packaging/package.sh build-armv6 armhf ;;
            arm64)
                install_cross "$arch"
                install_missing $package_packages
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
            ctest --test-dir "build-$arch" --output-on-failure --no-tests=error -j "$(nproc)" ;;
    real-kernels)
        install_cross armhf
        install_cross arm64
        install_missing qemu-system-arm cpio device-tree-compiler
        tests/real-kernels/run.sh ;;
    *)
        # The comment at the top of this file.
        awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
        exit 2 ;;
esac
