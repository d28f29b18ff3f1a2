#!/bin/sh
# pinwarden against Debian's own kernels, booted in QEMU's Raspberry Pi models:
# the armmp kernel on raspi2b (twice: without and with iomem=relaxed) and the
# arm64 kernel on raspi3b and, with iomem=relaxed, on raspi4b; then the arm64
# kernel of the next release's backports, which has the per-chip sysfs
# interface beside the global one, on raspi4b, where the per-chip cases run
# with the global files hidden behind links to the kernel's chipX entries
# (no Debian kernel is built without the global interface).  Each boots a
# small initramfs of busybox, a static pinwarden installed set-user-ID
# root:gpio 4750, users alice (in group gpio) and bob (not), this script as
# /init and the table of cases beside it.  The console and QEMU's monitor are
# pipes: a case that sets a pull waits on the console while this script reads
# the pull registers through the monitor, before and after.
#
#   tests/real-kernels/run.sh [SOURCE_DIR]    (./build.sh real-kernels)
#
# Kernels, busybox and the programs are kept in build-real-kernels/; the
# packages are fetched with apt-get download and unpacked there, never
# installed.  raspi4b needs QEMU 9 or later: where the machine's QEMU lacks
# it, the distribution's backports QEMU is fetched the same way and unpacked
# beside it, and the newer kernel from the next release's backports suite
# (REAL_KERNELS_NEWER_SUITE).  Each boot's console, monitor and QEMU log are
# left there too.
# What cannot be had (QEMU, a package) is skipped with the reason.
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

# Runs the checks of one case ("then" column) on the pin's files under
# $5 (/sys/class/gpio, or the chip's entry for the per-chip cases); prints
# why on failure, and what it found on standard error.
case_checks() {
    pin=$1 user=$2 output=$3 checks=$4 entry=$5
    dir=$entry/gpio$pin
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
            unexport) echo "$pin" >"$entry/unexport" ;;
            marks | pull=*) ;;
            *) echo "unknown check $check"; return 1 ;;
        esac
    done
}

# Hides the global interface behind a tmpfs on /sys/class/gpio that holds
# only links to the kernel's own chipX entries, as on a kernel built
# without it; sets C to the X of the SoC controller's entry and N to its
# ngpio.  False where the kernel has no per-chip entries.
hide_global_interface() {
    entries=""
    for chip_entry in /sys/class/gpio/chip[0-9]*; do
        [ -e "$chip_entry" ] || return 1
        entries="$entries $(basename "$chip_entry")=$(realpath "$chip_entry")"
    done
    mount -t tmpfs -o mode=0755 per-chip /sys/class/gpio || return 1
    C="" N=""
    for chip_entry in $entries; do
        chip_path=/sys/class/gpio/${chip_entry%%=*}
        ln -s "${chip_entry#*=}" "$chip_path"
        chip_label=$(cat "$chip_path/label")
        say "INFO ${chip_entry%%=*} label $chip_label ngpio $(cat "$chip_path/ngpio") device $(realpath "$chip_path/device")"
        case $chip_label in
            pinctrl-bcm2*) C=${chip_path#/sys/class/gpio/chip} N=$(cat "$chip_path/ngpio") ;;
        esac
    done
    [ -n "$C" ]
}

# Asks the host to read the pull registers through QEMU's monitor, and waits
# on the console until it has.
monitor() {
    say "MONITOR $*"
    read -r _ </dev/console
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
    hidden=""

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
        entry=/sys/class/gpio
        if [ "$tags" = perchip ]; then
            if [ -z "$hidden" ]; then
                hidden=no
                hide_global_interface && hidden=yes
            fi
            if [ "$hidden" != yes ]; then
                say "CASE $name FAIL this kernel has no per-chip entry of a pinctrl-bcm2* chip"
                continue
            fi
            entry=/sys/class/gpio/chip$C
        fi
        eval "command=\"$(trim "$command")\" pattern=\"$(trim "$pattern")\""
        pin=$(case_pin "$command")
        pull=""
        for check in $checks; do
            case $check in pull=*) pull=${check#pull=} ;; esac
        done
        case " $checks " in *" marks "*) devmem 0x3f2000f8 >/dev/null ;; esac
        [ -n "$pull" ] && monitor before 17 "$pull"
        output=$(su -s /bin/sh "$user" -c "pinwarden $command" 2>&1)
        status=$?
        [ -n "$pull" ] && monitor after 17 "$pull"
        case " $checks " in *" marks "*) devmem 0x3f2000fc >/dev/null ;; esac
        echo "$output" | sed "s/^/RK OUT $name: /"
        why=""
        if [ "$status" != "$want" ]; then
            why="status $status, not $want"
        elif [ "$pattern" != - ] && ! echo "$output" | grep -Eq -- "$pattern"; then
            why="no line matches: $pattern"
        fi
        checked=$(case_checks "$pin" "$user" "$output" "$checks" "$entry") || why="${why:+$why; }$checked"
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

# The BCM2711's four pull registers (GPIO_PUP_PDN_CNTRL_REG0-3), read through
# QEMU's monitor: "W0 W1 W2 W3".  Of the models, only raspi4b has them.
read_pulls() {
    seen=$(grep -ac 'fe2000e4:' "$mon.log" || true)
    echo "xp /4wx 0xfe2000e4" >"$mon.in"
    tries=0
    while [ "$(grep -ac 'fe2000e4:' "$mon.log" || true)" -le "$seen" ] && [ "$tries" -lt 50 ]; do
        sleep 0.2
        tries=$((tries + 1))
    done
    grep -a 'fe2000e4:' "$mon.log" | tail -n 1 | tr -d '\r' | sed 's/.*fe2000e4: *//'
}

# Answers the console's requests to read the pull registers, in order;
# $answered counts those answered so far.
answer_monitor() {
    asked=$(grep -ac '^RK MONITOR ' "$log" || true)
    while [ "$answered" -lt "$asked" ]; do
        answered=$((answered + 1))
        request=$(grep -a '^RK MONITOR ' "$log" | sed -n "${answered}p" | tr -d '\r')
        echo "${request#RK MONITOR } $(read_pulls)" >>"$work/$name.pulls"
        echo >"$pipe.in"
    done
}

# Each "after" reading must be its "before" reading with the line's two pull
# bits set to what was asked (up 01, down 10, none 00) and nothing else
# changed.
check_pulls() {
    [ -s "$work/$name.pulls" ] || return 0
    echo "   the pull registers, read through QEMU's monitor:"
    sed 's/^/     /' "$work/$name.pulls"
    while read -r when line pull w0 w1 w2 w3; do
        if [ "$when" = before ]; then
            expected="$w0 $w1 $w2 $w3"
            continue
        fi
        case $pull in up) code=1 ;; down) code=2 ;; *) code=0 ;; esac
        reg=$((line / 16)) shift=$((line % 16 * 2))
        want="" i=0
        for word in $expected; do
            [ "$i" -eq "$reg" ] && word=$(printf '0x%08x' $(((word & ~(3 << shift)) | (code << shift))))
            want="$want $word"
            i=$((i + 1))
        done
        if [ "${want# }" != "$w0 $w1 $w2 $w3" ]; then
            echo "   FAIL: pull $pull on line $line: expected ${want# }, read $w0 $w1 $w2 $w3"
            failed=$((failed + 1))
        fi
    done <"$work/$name.pulls"
}

# boot NAME QEMU MACHINE DTB CONSOLE SERIAL BOOTS [APPEND]: one boot, its
# results checked; failures are counted in $failed.  SERIAL places the
# chardev "console" among the machine's serial ports.
boot() {
    name=$1 qemu=$2 machine=$3 dtb=$4 console=$5 serial=$6 boots=$7 append=${8:-}
    log=$work/$name.console
    qlog=$work/$name.qemu.log
    pipe=$work/$name.pipe
    mon=$work/$name.monitor
    rm -f "$log" "$qlog" "$work/$name.pulls" "$mon.log" "$pipe".* "$mon".*
    mkfifo "$pipe.in" "$pipe.out" "$mon.in" "$mon.out"
    # QEMU opens the pipes read-write, so these readers never see an end.
    cat "$pipe.out" >"$log" &
    reader=$!
    cat "$mon.out" >"$mon.log" &
    monitor_reader=$!
    echo "== $name: ${kernel_name:-$(basename "$kernel")} on $machine${append:+ with $append}"
    start=$(date +%s)
    # shellcheck disable=SC2086
    nice -n 10 "$qemu" -M "$machine" -kernel "$kernel" -dtb "$dtb" \
        -initrd "$initrd" -append "console=$console,115200 realkernels=$boots panic=-1 $append" \
        -nographic -monitor none -chardev "pipe,id=console,path=$pipe" $serial \
        -chardev "pipe,id=monitor,path=$mon" -mon chardev=monitor,mode=readline \
        -no-reboot -d guest_errors,unimp -D "$qlog" \
        </dev/null >"$work/$name.qemu.out" 2>&1 &
    pid=$!
    # A reboot does not end every model: stop it once the checks are done.
    waited=0 answered=0
    while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt "$limit" ] &&
        ! grep -aq '^RK END' "$log" 2>/dev/null; do
        answer_monitor
        sleep 1
        waited=$((waited + 1))
    done
    sleep 2
    kill "$pid" 2>/dev/null || true
    wait "$pid" || true
    kill "$reader" "$monitor_reader" 2>/dev/null || true
    wait "$reader" "$monitor_reader" 2>/dev/null || true
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
    check_pulls
}

# A private apt configuration for SUITE in $work/apt-SUITE, its lists read
# once unless FILE (something unpacked from it) is there already: sets
# apt_conf.  False, with the log in that folder, where the suite cannot be
# read.
suite_apt() {
    apt_dir=$work/apt-$1
    apt_conf=$apt_dir/apt.conf
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
        "http://deb.debian.org/debian $1 main" >"$apt_dir/sources.list"
    cat >"$apt_conf" <<CONF
Dir::Etc::SourceList "$apt_dir/sources.list";
Dir::Etc::SourceParts "/dev/null";
Dir::State::Lists "$apt_dir/lists";
Dir::Cache "$apt_dir/cache";
APT::Sandbox::User "root";
CONF
    [ -e "$2" ] && return 0
    tries=0
    until APT_CONFIG=$apt_conf apt-get -q update >"$apt_dir/update.log" 2>&1; do
        tries=$((tries + 1))
        [ "$tries" -lt 3 ] || return 1
        sleep 10
    done
}

# A QEMU with the raspi4b machine, in $qemu4: the machine's own, or the
# distribution's backports one unpacked beside it.  Says why not otherwise.
pi4_qemu() {
    qemu4="qemu-system-aarch64"
    "$qemu4" -M help 2>/dev/null | grep -q '^raspi4b ' && return 0
    mine=$("$qemu4" --version 2>/dev/null | head -n 1)
    . /etc/os-release
    suite=${VERSION_CODENAME:-bookworm}-backports
    host_arch=$(dpkg --print-architecture)
    suite_apt "$suite" "$work/root-qemu-system-arm-$host_arch" ||
        { skip "raspi4b: needs QEMU 9 or later; this is $mine, and $suite cannot be read (see $apt_dir/update.log)"; return 1; }
    root=$(APT_CONFIG=$apt_conf unpack "qemu-system-arm:$host_arch") ||
        { skip "raspi4b: needs QEMU 9 or later; this is $mine, and $suite has no qemu-system-arm"; return 1; }
    # A qemu-bundle folder beside the binary is where it looks for its
    # modules; an empty one keeps it from loading the system QEMU's, which
    # are of another build and refused.
    qemu4=$root/usr/bin/qemu-system-aarch64
    mkdir -p "$root/usr/bin/qemu-bundle"
    "$qemu4" -M help 2>/dev/null | grep -q '^raspi4b ' && return 0
    skip "raspi4b: the QEMU from $suite does not run here: $("$qemu4" --version 2>&1 | head -n 1)"
    return 1
}

# The Pi 4's device tree of $dtbs as QEMU's raspi4b can boot it, in $dtb4
# (named after NAME): the Bluetooth child of the PL011 disabled so that the
# PL011 is the console, and the HDMI blocks at 0x7ef00000 and up, which the
# model lacks, disabled.
pi4_dtb() {
    command -v fdtput >/dev/null ||
        { skip "raspi4b: fdtput (device-tree-compiler) is not installed"; return 1; }
    dtb4=$work/bcm2711-rpi-4-b-$1.dtb
    cp "$dtbs/broadcom/bcm2711-rpi-4-b.dtb" "$dtb4" || return 1
    for node in $(fdtget -l "$dtb4" /soc | grep '@7ef'); do
        fdtput -t s "$dtb4" "/soc/$node" status disabled
    done
    fdtput -t s "$dtb4" /soc/serial@7e201000/bluetooth status disabled
}

# The arm64 kernel of the next release's backports, in $kernel and $dtbs:
# its image package only depends on linux-binary-* (the kernel) and
# linux-base-* (the device trees), which are unpacked.  Says why not
# otherwise.
newer_kernel() {
    suite=$newer_suite
    suite_apt "$suite" "$work/newer-kernel" ||
        { skip "per-chip: $suite cannot be read (see $apt_dir/update.log)"; return 1; }
    image=$(APT_CONFIG=$apt_conf apt-cache depends "linux-image-arm64:arm64" 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\).*/\1/p' | head -n 1)
    [ -n "$image" ] || { skip "per-chip: $suite has no linux-image-arm64"; return 1; }
    version=${image#linux-image-}
    binroot=$(APT_CONFIG=$apt_conf unpack "linux-binary-$version:arm64") &&
        baseroot=$(APT_CONFIG=$apt_conf unpack "linux-base-$version:arm64") ||
        { skip "per-chip: linux-binary-$version or linux-base-$version cannot be fetched"; return 1; }
    kernel=$(echo "$binroot"/usr/lib/modules/*/vmlinuz)
    dtbs=$(echo "$baseroot"/usr/lib/modules/*/dtb)
    [ -f "$kernel" ] && [ -d "$dtbs" ] ||
        { skip "per-chip: no vmlinuz or dtb folder in linux-binary-$version, linux-base-$version"; return 1; }
    kernel_name=vmlinuz-$version
    echo "$version" >"$work/newer-kernel"
}

host() {
    set -eu
    here=$(cd "$(dirname "$0")" && pwd)
    src=$(cd "${1:-$here/../..}" && pwd)
    work=$src/build-real-kernels
    limit=${REAL_KERNELS_TIMEOUT:-300}
    # Where the newer kernel comes from: the release after Debian 12.
    newer_suite=${REAL_KERNELS_NEWER_SUITE:-trixie-backports}
    mkdir -p "$work"
    failed=0
    ran=0
    began=$(date +%s)

    if ! qemu-system-arm -M help 2>/dev/null | grep -q '^raspi2b '; then
        skip "raspi2b: qemu-system-arm with the raspi2b machine is not installed"
    elif prepare armhf armmp; then
        boot raspi2b-strict qemu-system-arm raspi2b "$dtbs/bcm2836-rpi-2-b.dtb" ttyAMA0 \
            "-serial chardev:console" all,strict
        boot raspi2b-relaxed qemu-system-arm raspi2b "$dtbs/bcm2836-rpi-2-b.dtb" ttyAMA0 \
            "-serial chardev:console" all,relaxed iomem=relaxed
        ran=$((ran + 2))
    elif [ $? -eq 2 ]; then
        exit 1
    fi

    # raspi3b's console is the mini UART, QEMU's second serial port.
    if ! qemu-system-aarch64 -M help 2>/dev/null | grep -q '^raspi3b '; then
        skip "raspi3b and raspi4b: qemu-system-aarch64 is not installed"
    elif prepare arm64 arm64; then
        boot raspi3b qemu-system-aarch64 raspi3b "$dtbs/broadcom/bcm2837-rpi-3-b.dtb" ttyS1 \
            "-serial null -serial chardev:console" all,strict,expander
        ran=$((ran + 1))
        if pi4_qemu && pi4_dtb debian12; then
            boot raspi4b "$qemu4" raspi4b "$dtb4" ttyAMA0 \
                "-serial chardev:console" all,expander,pi4 iomem=relaxed
            ran=$((ran + 1))
            # The same initramfs: only the kernel and its device trees change.
            if newer_kernel && pi4_dtb newer; then
                boot raspi4b-per-chip "$qemu4" raspi4b "$dtb4" ttyAMA0 \
                    "-serial chardev:console" all,expander,pi4,perchip iomem=relaxed
                ran=$((ran + 1))
            fi
        fi
    elif [ $? -eq 2 ]; then
        exit 1
    fi

    echo "real kernels: $ran boots in $(($(date +%s) - began)) s, $failed failures"
    [ "$failed" -eq 0 ]
}

if [ $$ -eq 1 ]; then
    guest
else
    host "$@"
fi
