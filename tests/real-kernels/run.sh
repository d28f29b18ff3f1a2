#!/bin/sh
# pinwarden against Debian's own kernels, booted in QEMU's Raspberry Pi models:
# the armmp kernel on raspi2b (twice: without and with iomem=relaxed) and the
# arm64 kernel on raspi3b.  Each boots a small initramfs of busybox, a static
# pinwarden installed set-user-ID root:gpio 4750, users alice (in group gpio)
# and bob (not), this script as /init and the table of cases beside it.
#
#   tests/real-kernels/run.sh [SOURCE_DIR]    (./build.sh real-kernels)
#
# Kernels, busybox and the programs are kept in build-real-kernels/; the
# packages are fetched with apt-get download and unpacked there, never
# installed.  Each boot's console and QEMU log are left there too.  What
# cannot be had (QEMU, a package) is skipped with the reason.
# REAL_KERNELS_TIMEOUT bounds each boot (seconds, default 300).

# ---- inside the booted machine -------------------------------------------

say() { echo "RK $*"; }

# Fields of the table are separated by "|" and padded with blanks.
trim() {
    set -f
    # shellcheck disable=SC2086
    set -- $1
    set +f
    echo "$*"
}

# The pin a case's command names.
case_pin() {
    set -- $1
    echo "$2"
}

# Runs the checks of one case ("then" column); prints why on failure, and
# what it found on standard error.
case_checks() {
    pin=$1 user=$2 output=$3 checks=$4
    dir=/sys/class/gpio/gpio$pin
    for check in $checks; do
        case $check in
            exported) [ -e "$dir" ] || { echo "gpio$pin is not exported"; return 1; } ;;
            unexported) [ ! -e "$dir" ] || { echo "gpio$pin is still exported"; return 1; } ;;
            path)
                real=$(realpath "$dir")
                say "INFO gpio$pin is $real" >&2
                case $real in
                    /sys/devices/virtual/*) echo "virtual directory $real"; return 1 ;;
                    /sys/devices/platform/*.gpio/*) ;;
                    *) echo "not under a GPIO chip's device: $real"; return 1 ;;
                esac ;;
            owned=*)
                for file in $(echo "${check#owned=}" | tr , ' '); do
                    got=$(stat -c '%U:%G %a' "$dir/$file" 2>&1)
                    say "INFO gpio$pin/$file $got" >&2
                    [ "$got" = "$user:$user 600" ] || { echo "$file is $got"; return 1; }
                done ;;
            made=*)
                made=""
                for file in direction value active_low edge; do
                    [ -e "$dir/$file" ] && made="$made,$file"
                done
                say "INFO gpio$pin has ${made#,}" >&2
                [ "${made#,}" = "${check#made=}" ] || { echo "the kernel made ${made#,}"; return 1; } ;;
            oneline) [ "$(echo "$output" | wc -l)" -eq 1 ] || { echo "more than one line"; return 1; } ;;
            nomap)
                case $output in
                    *"could not map"* | *"/dev/mem"*) echo "a mapping was tried"; return 1 ;;
                esac ;;
            unexport) echo "$pin" >/sys/class/gpio/unexport ;;
            marks) ;;
            *) echo "unknown check $check"; return 1 ;;
        esac
    done
}

guest() {
    PATH=/bin:/sbin:/usr/bin:/usr/sbin
    export PATH
    mkdir -p /sbin /usr/sbin /proc /sys /dev
    /bin/busybox --install -s
    mount -t proc proc /proc
    mount -t sysfs sysfs /sys
    mount -t devtmpfs devtmpfs /dev
    exec </dev/console >/dev/console 2>&1
    # The kernel's own messages would break into the results' lines.
    dmesg -n 1
    chown 0:997 /usr/bin/pinwarden
    chmod 4750 /usr/bin/pinwarden

    boots=all
    for word in $(cat /proc/cmdline); do
        case $word in realkernels=*) boots=${word#realkernels=} ;; esac
    done
    say "INFO kernel $(uname -r) $(uname -m)"
    say "INFO cmdline $(cat /proc/cmdline)"
    say "INFO pinwarden $(stat -c '%U:%G %a' /usr/bin/pinwarden)"
    B="" E=""
    for chip in /sys/class/gpio/gpiochip*; do
        base=$(cat "$chip/base") label=$(cat "$chip/label")
        say "INFO chip base $base ngpio $(cat "$chip/ngpio") label $label device $(realpath "$chip/device")"
        case $label in
            pinctrl-bcm2*) B=$base ;;
            raspberrypi-exp-gpio) E=$base ;;
        esac
    done
    if [ -z "$B" ]; then
        say "CASE main-chip FAIL no pinctrl-bcm2* chip in /sys/class/gpio"
        say END
        reboot -f
    fi
    P=$((B + 17))
    say "INFO GPIO 17 is $P, expander ${E:-none}"

    while IFS='|' read -r name tags awaits user want command pattern checks; do
        name=$(trim "$name")
        case $name in "" | "#"*) continue ;; esac
        tags=$(trim "$tags") awaits=$(trim "$awaits") user=$(trim "$user")
        want=$(trim "$want") checks=$(trim "$checks")
        case ",$boots," in *",$tags,"*) ;; *) continue ;; esac
        if [ "$tags" = expander ] && [ -z "$E" ]; then
            say "CASE $name FAIL this kernel has no raspberrypi-exp-gpio chip"
            continue
        fi
        eval "command=\"$(trim "$command")\" pattern=\"$(trim "$pattern")\""
        pin=$(case_pin "$command")
        case " $checks " in *" marks "*) devmem 0x3f2000f8 >/dev/null ;; esac
        output=$(su -s /bin/sh "$user" -c "pinwarden $command" 2>&1)
        status=$?
        case " $checks " in *" marks "*) devmem 0x3f2000fc >/dev/null ;; esac
        echo "$output" | sed "s/^/RK OUT $name: /"
        why=""
        if [ "$status" != "$want" ]; then
            why="status $status, not $want"
        elif [ "$pattern" != - ] && ! echo "$output" | grep -Eq -- "$pattern"; then
            why="no line matches: $pattern"
        fi
        checked=$(case_checks "$pin" "$user" "$output" "$checks") || why="${why:+$why; }$checked"
        verdict=PASS
        [ -n "$why" ] && verdict=FAIL
        [ "$awaits" != - ] && verdict="AWAITS-$awaits-$verdict"
        say "CASE $name $verdict $command${why:+ ($why)}"
    done </cases
    dmesg | grep -i gpio | sed 's/^/RK DMESG /'
    say END
    sync
    reboot -f
}

# ---- on the build machine ------------------------------------------------

skip() {
    echo "real kernels: SKIPPED $*"
}

# unpack PACKAGE:ARCH: fetches and unpacks one package under $work, once.
unpack() {
    dir=$work/root-$(echo "$1" | tr : -)
    if [ ! -d "$dir" ]; then
        mkdir -p "$work/debs/$1"
        (cd "$work/debs/$1" && apt-get download -q "$1" >/dev/null 2>&1) || return 1
        rm -rf "$dir.part"
        dpkg-deb -x "$work/debs/$1"/*.deb "$dir.part" || return 1
        mv "$dir.part" "$dir"
    fi
    echo "$dir"
}

# The concrete kernel package behind Debian's metapackage for a flavour.
kernel_package() {
    apt-cache depends "linux-image-$1:$2" 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\).*/\1/p' | head -n 1
}

# prepare ARCH FLAVOUR: kernel, dtb directory, busybox and pinwarden, then
# the initramfs; sets kernel, dtbs and initrd.
prepare() {
    arch=$1
    package=$(kernel_package "$2" "$arch")
    [ -n "$package" ] || { skip "$arch: no linux-image-$2 package known to apt"; return 1; }
    kroot=$(unpack "$package:$arch") || { skip "$arch: $package cannot be fetched"; return 1; }
    broot=$(unpack "busybox-static:$arch") || { skip "$arch: busybox-static cannot be fetched"; return 1; }
    kernel=$(echo "$kroot"/boot/vmlinuz-*)
    dtbs=$(echo "$kroot"/usr/lib/linux-image-*)

    build=$work/pinwarden-$arch
    cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$arch.cmake" \
        -DSTATIC_PROGRAMS=ON -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF \
        -DCMAKE_BUILD_TYPE=Release >/dev/null || return 2
    cmake --build "$build" --target pinwarden >/dev/null || return 2

    tree=$work/initramfs-$arch
    rm -rf "$tree"
    mkdir -p "$tree/bin" "$tree/usr/bin" "$tree/etc"
    cp "$broot/bin/busybox" "$tree/bin/"
    ln -s busybox "$tree/bin/sh"
    cp "$build/pinwarden/pinwarden" "$tree/usr/bin/"
    cp "$here/run.sh" "$tree/init"
    cp "$here/cases" "$tree/cases"
    printf '%s\n' root:x:0:0:root:/:/bin/sh alice:x:1000:1000:alice:/:/bin/sh \
        bob:x:1001:1001:bob:/:/bin/sh >"$tree/etc/passwd"
    printf '%s\n' root:x:0: gpio:x:997:alice alice:x:1000: bob:x:1001: >"$tree/etc/group"
    initrd=$work/initramfs-$arch.cpio.gz
    (cd "$tree" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$initrd"
}

# boot NAME QEMU MACHINE DTB CONSOLE SERIAL BOOTS [APPEND]: one boot, its
# results checked; failures are counted in $failed.
boot() {
    name=$1 qemu=$2 machine=$3 dtb=$4 console=$5 serial=$6 boots=$7 append=${8:-}
    log=$work/$name.console
    qlog=$work/$name.qemu.log
    rm -f "$log" "$qlog"
    echo "== $name: $(basename "$kernel") on $machine${append:+ with $append}"
    start=$(date +%s)
    # shellcheck disable=SC2086
    nice -n 10 "$qemu" -M "$machine" -kernel "$kernel" -dtb "$dtbs/$dtb" \
        -initrd "$initrd" -append "console=$console,115200 realkernels=$boots panic=-1 $append" \
        -nographic -monitor none $serial -no-reboot -d guest_errors,unimp -D "$qlog" \
        </dev/null >"$work/$name.qemu.out" 2>&1 &
    pid=$!
    # A reboot does not end every model: stop it once the checks are done.
    waited=0
    while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt "$limit" ] &&
        ! grep -aq '^RK END' "$log" 2>/dev/null; do
        sleep 2
        waited=$((waited + 2))
    done
    sleep 2
    kill "$pid" 2>/dev/null || true
    wait "$pid" || true
    echo "   $(($(date +%s) - start)) s"
    grep -a '^RK ' "$log" | tr -d '\r' | sed 's/^RK /   /'
    if ! grep -aq '^RK END' "$log"; then
        echo "   FAIL: no end of the checks within $limit s; see $log and $work/$name.qemu.out"
        failed=$((failed + 1))
        return
    fi
    bad=$(grep -a '^RK CASE ' "$log" | grep -ac ' FAIL' || true)
    failed=$((failed + bad))
    if grep -aq '^RK CASE pull, relaxed ' "$log"; then
        # Between the two marks, the program's own accesses to the GPIO
        # block: one read of 0xf0, and no write at all.
        accesses=$(sed -n '/Bad offset f8/,/Bad offset fc/p' "$qlog" | grep gpio |
            grep -v 'Bad offset f[8c]')
        echo "   QEMU's log of the program's GPIO accesses:"
        echo "$accesses" | sed 's/^/     /'
        if [ "$accesses" != "bcm2835_gpio_read: Bad offset f0" ]; then
            echo "   FAIL: expected exactly one read at 0xf0 and nothing written"
            failed=$((failed + 1))
        fi
    fi
}

host() {
    set -eu
    here=$(cd "$(dirname "$0")" && pwd)
    src=$(cd "${1:-$here/../..}" && pwd)
    work=$src/build-real-kernels
    limit=${REAL_KERNELS_TIMEOUT:-300}
    mkdir -p "$work"
    failed=0
    ran=0
    began=$(date +%s)

    if ! qemu-system-arm -M help 2>/dev/null | grep -q '^raspi2b '; then
        skip "raspi2b: qemu-system-arm with the raspi2b machine is not installed"
    elif prepare armhf armmp; then
        boot raspi2b-strict qemu-system-arm raspi2b bcm2836-rpi-2-b.dtb ttyAMA0 \
            "-serial file:$work/raspi2b-strict.console" all,strict
        boot raspi2b-relaxed qemu-system-arm raspi2b bcm2836-rpi-2-b.dtb ttyAMA0 \
            "-serial file:$work/raspi2b-relaxed.console" all,relaxed iomem=relaxed
        ran=$((ran + 2))
    elif [ $? -eq 2 ]; then
        exit 1
    fi

    # raspi3b's console is the mini UART, QEMU's second serial port.
    if ! qemu-system-aarch64 -M help 2>/dev/null | grep -q '^raspi3b '; then
        skip "raspi3b: qemu-system-aarch64 with the raspi3b machine is not installed"
    elif prepare arm64 arm64; then
        boot raspi3b qemu-system-aarch64 raspi3b broadcom/bcm2837-rpi-3-b.dtb ttyS1 \
            "-serial null -serial file:$work/raspi3b.console" all,strict,expander
        ran=$((ran + 1))
    elif [ $? -eq 2 ]; then
        exit 1
    fi

    skip "raspi4b: needs QEMU 9 or later; this is $(qemu-system-aarch64 --version 2>/dev/null | head -n 1)"
    echo "real kernels: $ran boots in $(($(date +%s) - began)) s, $failed failures"
    [ "$failed" -eq 0 ]
}

if [ $$ -eq 1 ]; then
    guest
else
    host "$@"
fi
