#!/bin/sh
# Runs a command where the kernel executes the target's binaries through
# qemu-user, as the tests need when they start the programs they test.
#
#   cross/with-binfmt.sh armhf|arm64 COMMAND [ARG]...
#
# The command runs in a user and mount namespace of its own, with every user
# ID mapped to itself (root stays root, so tests that build their own mount
# namespaces, change owners and start set-user-ID binaries still can), and a
# binfmt_misc of that user namespace (Linux 6.7 or later) with one entry for
# the target.  The machine's own registrations are neither read nor changed,
# and the entry goes with the namespace when the command ends.
#
# Flags of the entry: F opens qemu now, so that it is found inside the tests'
# mount namespaces; C takes the credentials from the binary, not from qemu,
# so that set-user-ID works; O hands qemu the binary already open; P keeps
# argv[0] (Debian's *-binfmt-P names of qemu expect it).
set -eu

usage() {
    echo "usage: $0 armhf|armv6|arm64 COMMAND [ARG]..." >&2
    exit 2
}

[ $# -ge 2 ] || usage
inside=no
case "$1" in
    armhf) cpu=arm ;;
    # qemu reads its CPU from the environment however it is started, so the
    # binaries the tests start run on the Zero's CPU too.
    armv6) cpu=arm; export QEMU_CPU=arm1176 ;;
    arm64) cpu=aarch64 ;;
    --inside) inside=yes; cpu=$2; shift ;;
    *) usage ;;
esac
shift

if [ "$inside" = no ]; then
    [ "$(id -u)" -eq 0 ] || { echo "$0: needs root" >&2; exit 1; }
    # unshare(1) cannot write an identity map of every ID by itself: start
    # the namespace, wait until it exists, map it, then let it go on.
    gate=$(mktemp -d)
    trap 'rm -rf "$gate"' EXIT
    trap 'exit 1' HUP INT TERM
    mkfifo "$gate/go"
    mkdir "$gate/binfmt_misc"
    binfmt_dir=$gate/binfmt_misc unshare --user --mount --propagation private \
        sh -c 'read -r go <"$0" && exec "$@"' "$gate/go" "$0" --inside "$cpu" "$@" &
    child=$!
    own=$(readlink /proc/self/ns/user)
    while [ "$(readlink /proc/$child/ns/user 2>/dev/null || echo "$own")" = "$own" ]; do
        kill -0 "$child" 2>/dev/null || break
        sleep 0.01
    done
    all="0 0 4294967295"
    echo "$all" >/proc/$child/uid_map
    echo "$all" >/proc/$child/gid_map
    echo go >"$gate/go"
    status=0
    wait "$child" || status=$?
    exit "$status"
fi

# Inside: a binfmt_misc of this user namespace, mounted where nothing else
# looks (it lives as long as the mount), with the entry Debian's
# qemu-user-binfmt describes for the target.
entry=/usr/share/binfmts/qemu-$cpu
field() { sed -n "s/^$1 //p" "$entry"; }
if ! mount -t binfmt_misc binfmt_misc "$binfmt_dir"; then
    echo "$0: no binfmt_misc of a user namespace here (Linux 6.7 or later has it)" >&2
    exit 1
fi
printf ':qemu-%s:M:0:%s:%s:%s:POCF\n' "$cpu" "$(field magic)" "$(field mask)" \
    "$(field interpreter)" >"$binfmt_dir/register"
unset binfmt_dir
exec "$@"
