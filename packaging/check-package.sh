#!/bin/bash
# Checks a Debian package built by cpack.
#
#   packaging/check-package.sh emulated|pigpio|spidev PACKAGE.deb [ARCHITECTURE]
#
# Inspects the control fields (the architecture among them: the build
# machine's unless named), the file list and the maintainer scripts, runs
# lintian, which must find no error and no warning that the package does not
# override with its reason (packaging/lintian-overrides.in), runs the
# scripts against stand-ins for the system tools they call, and, for a
# package this machine can install (the emulated build, or a cross-built
# spidev one whose architecture dpkg takes as a foreign one and whose
# programs run through qemu-user; run as root), does a real dpkg -i and
# dpkg --purge inside a private mount namespace whose /etc, /usr and /var are
# throw-away overlays, so that the system keeps no trace.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
group=gpio
pinwarden=/usr/bin/pinwarden

failures=0
passes=0
check() {  # check DESCRIPTION COMMAND...
    local description=$1; shift
    if "$@"; then
        passes=$((passes + 1))
    else
        echo "FAILED: $description" >&2
        failures=$((failures + 1))
    fi
}
equals() { [ "$1" = "$2" ] || { printf '  expected: %s\n  actual:   %s\n' "$2" "$1" >&2; return 1; }; }
contains() { grep -qF -- "$2" <<<"$1" || { printf '  %s not in:\n%s\n' "$2" "$1" >&2; return 1; }; }
quietly() {
    local output
    output=$("$@" 2>&1) || { printf '%s\n' "$output" >&2; return 1; }
}
lacks() { ! grep -qF -- "$2" <<<"$1" || { printf '  %s unexpectedly in:\n%s\n' "$2" "$1" >&2; return 1; }; }

# --- control fields and files ------------------------------------------------

check_control() {  # flavour deb architecture
    local flavour=$1 deb=$2 name depends
    name=$(dpkg-deb -f "$deb" Package)
    depends=$(dpkg-deb -f "$deb" Depends)
    local conflicts
    conflicts=$(dpkg-deb -f "$deb" Conflicts)
    case $flavour in
        pigpio)
            check "pigpio build is called shakelog" equals "$name" shakelog
            check "pigpio build depends on pigpio" contains "$depends" libpigpio1
            check "pigpio build conflicts with the other two" \
                equals "$conflicts" "shakelog-spidev, shakelog-emulated" ;;
        spidev)
            check "spidev build is called shakelog-spidev" equals "$name" shakelog-spidev
            check "spidev build does not depend on pigpio" lacks "$depends" pigpio
            check "spidev build conflicts with the other two" \
                equals "$conflicts" "shakelog, shakelog-emulated"
            check "spidev build says it uses the kernel's SPI driver" \
                contains "$(dpkg-deb -f "$deb" Description)" "kernel's SPI driver" ;;
        *)
            check "emulated build is called shakelog-emulated" equals "$name" shakelog-emulated
            check "emulated build does not depend on pigpio" lacks "$depends" pigpio
            check "emulated build conflicts with the other two" \
                equals "$conflicts" "shakelog, shakelog-spidev"
            check "emulated build says so" contains "$(dpkg-deb -f "$deb" Description)" EMULATED ;;
    esac
    check "dpkg --info reads the package" quietly dpkg --info "$deb"
    check "built for $3" equals "$(dpkg-deb -f "$deb" Architecture)" "$3"
    if [ "$3" = armhf ]; then
        # Static for the ARMv6 boards: it must need no library of the system.
        check "needs no shared library" lacks "$depends" libc6
    else
        check "depends on the C library" contains "$depends" libc6
    fi
    check "depends on passwd for groupadd" contains "$depends" passwd
}

check_files() {  # deb
    local listing
    listing=$(dpkg-deb -c "$1")
    check "installs shakelog" contains "$listing" "./usr/bin/shakelog"
    check "installs pinwarden" contains "$listing" "./usr/bin/pinwarden"
    check "ships no build-machine paths" lacks "$listing" "$source_dir"
    if [ -f "$source_dir/man/CMakeLists.txt" ]; then
        check "installs shakelog(1)" contains "$listing" "./usr/share/man/man1/shakelog.1"
        check "installs pinwarden(1)" contains "$listing" "./usr/share/man/man1/pinwarden.1"
    fi
    if [ -f "$source_dir/tools/plot-capture" ]; then
        check "installs plot-capture" contains "$listing" "./usr/bin/plot-capture"
        check "recommends what plot-capture runs on" \
            contains "$(dpkg-deb -f "$1" Recommends)" python3-matplotlib
    fi
}

# --- Debian's policy checks -------------------------------------------------------

# Errors and warnings fail; the tags overridden, and why, are in the
# package's own lintian overrides.  The counts close the check's output.
check_lintian() {  # deb
    local output status=0 errors warnings
    # As root, lintian says it would rather not be: that is no finding.
    output=$(lintian --fail-on none --show-overrides "$1" 2>&1) || status=$?
    output=$(grep -v "^running with root privileges" <<<"$output" || true)
    [ -z "$output" ] || printf '%s\n' "$output"
    errors=$(grep -c '^E: ' <<<"$output" || true)
    warnings=$(grep -c '^W: ' <<<"$output" || true)
    check "lintian runs" equals "$status" 0
    check "lintian finds no error" equals "$errors" 0
    check "lintian finds no warning that is not overridden" equals "$warnings" 0
    lintian_summary="lintian: $errors errors, $warnings warnings,"
    lintian_summary+=" $(grep -c '^O: ' <<<"$output" || true) overridden"
}

# --- maintainer scripts against stand-ins ----------------------------------------

# Stand-ins for getent, groupadd and dpkg-statoverride that log their
# arguments; GROUP_EXISTS and OVERRIDE_EXISTS say what the system has.
make_stand_ins() {  # dir
    local dir=$1
    mkdir -p "$dir"
    cat >"$dir/getent" <<'EOF'
#!/bin/sh
echo "getent $*" >>"$STAND_IN_LOG"
[ "$GROUP_EXISTS" = yes ] && echo "$2:x:997:" && exit 0
exit 2
EOF
    cat >"$dir/groupadd" <<'EOF'
#!/bin/sh
echo "groupadd $*" >>"$STAND_IN_LOG"
EOF
    cat >"$dir/dpkg-statoverride" <<'EOF'
#!/bin/sh
echo "dpkg-statoverride $*" >>"$STAND_IN_LOG"
if [ "$1" = --list ]; then
    [ "$OVERRIDE_EXISTS" = yes ] && echo "root gpio 4750 $2" && exit 0
    exit 1
fi
exit 0
EOF
    chmod +x "$dir/getent" "$dir/groupadd" "$dir/dpkg-statoverride"
}

# Runs a maintainer script and prints the calls it made, one per line.
run_script() {  # dir script group_exists override_exists argument...
    local dir=$1 script=$2 group_exists=$3 override_exists=$4; shift 4
    : >"$dir/log"
    PATH="$dir/bin:$PATH" STAND_IN_LOG="$dir/log" GROUP_EXISTS=$group_exists \
        OVERRIDE_EXISTS=$override_exists sh "$dir/control/$script" "$@" >/dev/null ||
        echo "exit status $?"
    cat "$dir/log"
}

check_scripts() {  # deb
    local dir
    dir=$(mktemp -d)
    dpkg-deb -e "$1" "$dir/control"
    make_stand_ins "$dir/bin"
    check "postinst is executable" test -x "$dir/control/postinst"
    check "postrm is executable" test -x "$dir/control/postrm"

    local add_group="groupadd --system $group"
    local add_override="dpkg-statoverride --update --add root $group 4750 $pinwarden"
    check "postinst creates the missing group and sets root:$group 4750" equals \
        "$(run_script "$dir" postinst no no configure '')" \
        "getent group $group"$'\n'"$add_group"$'\n'"dpkg-statoverride --list $pinwarden"$'\n'"$add_override"
    check "postinst keeps an existing group" equals \
        "$(run_script "$dir" postinst yes no configure '')" \
        "getent group $group"$'\n'"dpkg-statoverride --list $pinwarden"$'\n'"$add_override"
    check "postinst keeps the administrator's override" equals \
        "$(run_script "$dir" postinst yes yes configure '')" \
        "getent group $group"$'\n'"dpkg-statoverride --list $pinwarden"
    check "postinst does nothing when an upgrade is undone" equals \
        "$(run_script "$dir" postinst no no abort-upgrade 0.1-1)" ""
    check "postrm forgets the override on purge" equals \
        "$(run_script "$dir" postrm yes yes purge)" \
        "dpkg-statoverride --list $pinwarden"$'\n'"dpkg-statoverride --remove $pinwarden"
    check "postrm keeps the override on remove" equals "$(run_script "$dir" postrm yes yes remove)" ""
    rm -rf "$dir"
}

# --- a real installation, in a throw-away system ----------------------------------

can_install_here() {
    [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null &&
        unshare --mount --propagation private true 2>/dev/null
}

# Runs inside the private mount namespace: /etc, /usr and /var become
# overlays whose changes live in a tmpfs that disappears with the namespace.
install_inside() {  # flavour deb
    local flavour=$1 deb=$2 scratch name
    scratch=$(mktemp -d)
    mount -t tmpfs scratch "$scratch"
    for dir in etc usr var; do
        mkdir -p "$scratch/$dir/upper" "$scratch/$dir/work"
        mount -t overlay overlay \
            -o "lowerdir=/$dir,upperdir=$scratch/$dir/upper,workdir=$scratch/$dir/work" "/$dir"
    done
    name=$(dpkg-deb -f "$deb" Package)
    # Start from a system that never had the package: a copy installed on
    # this machine is purged, and an override left for pinwarden removed,
    # since either would name the group that goes next.
    local installed
    for installed in shakelog shakelog-spidev shakelog-emulated; do
        if dpkg-query -W -f='${Status}' "$installed" 2>/dev/null | grep -qv "not-installed"; then
            check "the installed $installed is purged first" quietly dpkg --purge "$installed"
        fi
    done
    if dpkg-statoverride --list "$pinwarden" >/dev/null; then
        dpkg-statoverride --remove "$pinwarden"
    fi
    # Start without the group, so that its creation is checked too.
    if getent group "$group" >/dev/null; then groupdel "$group"; fi
    # dpkg makes each new directory as NAME.dpkg-new, mode 0, and renames it;
    # overlayfs mounted in a user namespace (the foreign package's check)
    # refuses that rename (EXDEV).  The package's directories are made
    # beforehand, as an installed system would mostly have them.
    dpkg-deb --fsys-tarfile "$deb" | tar -t | grep '/$' | while read -r packaged; do
        mkdir -p "/${packaged#./}"
    done

    check "dpkg -i succeeds" quietly dpkg -i "$deb"
    check "the $group group was created" quietly getent group "$group"
    check "pinwarden is root:$group mode 4750" \
        equals "$(stat -c '%U:%G %a' "$pinwarden")" "root:$group 4750"
    check "the override is registered" \
        equals "$(dpkg-statoverride --list "$pinwarden")" "root $group 4750 $pinwarden"
    local status=0
    /usr/bin/pinwarden >/dev/null 2>&1 || status=$?
    check "the installed pinwarden runs (usage, status 1)" equals "$status" 1
    local output
    if [ "$flavour" = spidev ]; then
        # No SPI device here: the program must say so and fail.
        status=0
        output=$(/usr/bin/shakelog -t 0 2>&1) || status=$?
        check "the installed shakelog runs and finds no SPI device (status 1)" equals "$status" 1
        check "the installed shakelog names the missing device" contains "$output" /dev/spidev0.0
        check "the installed shakelog reports no sensor" contains "$output" "Accelerometer not found"
    else
        output=$(/usr/bin/shakelog -t 0 2>/dev/null) || true
        check "the installed shakelog runs" contains "$output" "Done"
    fi
    if [ -f "$source_dir/man/CMakeLists.txt" ] && command -v man >/dev/null; then
        check "man finds shakelog(1)" quietly man -w shakelog
        check "man finds pinwarden(1)" quietly man -w pinwarden
    fi

    # Reinstalling the same package (as an upgrade does) keeps the mode.
    check "dpkg -i again succeeds" quietly dpkg -i "$deb"
    check "pinwarden keeps root:$group 4750" \
        equals "$(stat -c '%U:%G %a' "$pinwarden")" "root:$group 4750"

    check "dpkg --purge succeeds" quietly dpkg --purge "$name"
    check "pinwarden is gone" test ! -e "$pinwarden"
    check "the override is gone" equals "$(dpkg-statoverride --list "$pinwarden" || true)" ""
}

# --- main ---------------------------------------------------------------------

if [ "${1:-}" = --inside ]; then
    install_inside "$2" "$3" >&2
    echo "$passes $failures"
    exit 0
fi

if [ $# -lt 2 ] || [ $# -gt 3 ] ||
    { [ "$1" != emulated ] && [ "$1" != pigpio ] && [ "$1" != spidev ]; }; then
    echo "usage: $0 emulated|pigpio|spidev PACKAGE.deb [ARCHITECTURE]" >&2
    exit 2
fi
flavour=$1
deb=$(realpath "$2")
host_arch=$(dpkg --print-architecture)
arch=${3:-$host_arch}
echo "Checking $deb"
check_control "$flavour" "$deb" "$arch"
check_files "$deb"
check_lintian "$deb"
check_scripts "$deb"

skipped=0
counts=""
# The armhf package is meant for every 32-bit Pi: its programs run on the
# Zero's CPU here, so that an ARMv7 instruction fails the check.
cpu_target=$arch
[ "$arch" = armhf ] && cpu_target=armv6
if [ "$flavour" = emulated ] && [ "$arch" = "$host_arch" ] && can_install_here; then
    counts=$(unshare --mount --propagation private "$0" --inside emulated "$deb")
elif [ "$flavour" = spidev ] && [ "$arch" != "$host_arch" ] && can_install_here &&
    dpkg --print-foreign-architectures | grep -qx "$arch" &&
    "$source_dir/cross/with-binfmt.sh" "$cpu_target" true 2>/dev/null; then
    # The target's programs run through qemu-user, as in the cross tests.
    counts=$("$source_dir/cross/with-binfmt.sh" "$cpu_target" \
        unshare --mount --propagation private "$0" --inside spidev "$deb")
fi
if [ -n "$counts" ]; then
    passes=$((passes + ${counts% *}))
    failures=$((failures + ${counts#* }))
else
    echo "Real installation skipped: needs the emulated build or a cross-built spidev one" \
        "(its architecture known to dpkg, a binfmt_misc of a user namespace: Linux 6.7+)," \
        "root and mount namespaces"
    skipped=1
fi

echo "$lintian_summary"
echo "package: $passes passed, $failures failed, $skipped skipped"
[ "$failures" -eq 0 ]
