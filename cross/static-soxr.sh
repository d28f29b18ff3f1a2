#!/bin/sh
# Builds libsoxr as a static library for a cross build whose programs are
# linked statically (the ARMv6 build): Debian ships libsoxr only as a
# shared library, and its armhf one assumes ARMv7.  The source is Debian's
# own package, fetched through a private apt configuration so that the
# machine's sources stay as they are; it is built with the toolchain file
# of the build it serves, so with the same flags.
#
#   cross/static-soxr.sh DIR TOOLCHAIN_FILE
#
# Installs into DIR/prefix; does nothing if DIR/prefix/lib/libsoxr.a exists.
set -eu
dir=$1
toolchain=$2
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
prefix=$dir/prefix
[ -f "$prefix/lib/libsoxr.a" ] && exit 0

apt_dir=$dir/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
. /etc/os-release
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
    "http://deb.debian.org/debian ${VERSION_CODENAME:-bookworm} main" >"$apt_dir/sources.list"
apt_private() {
    apt-get -q -o Dir::Etc::SourceList="$apt_dir/sources.list" \
        -o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists="$apt_dir/lists" \
        -o Dir::Cache="$apt_dir/cache" -o APT::Sandbox::User=root "$@"
}
apt_private update
rm -rf "$dir/source"
mkdir -p "$dir/source"
(cd "$dir/source" && apt_private source libsoxr)
src=$(find "$dir/source" -mindepth 1 -maxdepth 1 -type d -name 'libsoxr-*' | head -n 1)
[ -n "$src" ] || { echo "static-soxr: no libsoxr source unpacked in $dir/source" >&2; exit 1; }

# No OpenMP (a static libgomp drags in threads the programs never use), no
# SIMD variants (they are NEON, which the ARM1176 does not have), no tests
# or examples: the library alone.
cmake -S "$src" -B "$dir/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DWITH_OPENMP=OFF \
    -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DWITH_LSR_BINDINGS=OFF \
    -DWITH_CR32S=OFF -DWITH_CR64S=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; exit 1; }
cmake --build "$dir/build" -j "$(nproc)"
cmake --install "$dir/build" >/dev/null
echo "static-soxr: $(ls "$prefix"/lib/libsoxr.a)"
