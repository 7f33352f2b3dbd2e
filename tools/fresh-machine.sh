#!/usr/bin/env bash
# Proves the README's two commands on a fresh machine: a minimal Debian 12
# root (mmdebstrap --variant=apt: essential packages and apt, nothing else),
# git installed alone, the commit under test cloned, then `./quorvel board`
# and `./quorvel test` run inside it with chroot. Prints how long each took.
#   tools/fresh-machine.sh [COMMIT]      (default: HEAD; as root)
# The minimal root is made once and kept as a tarball outside the tree
# ($QUORVEL_CACHE, default /var/cache/quorvel); every run unpacks it anew.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$top" rev-parse "${1:-HEAD}")
cache=${QUORVEL_CACHE:-/var/cache/quorvel}
tarball=$cache/bookworm-apt.tar

say() { echo "fresh-machine: $*" >&2; }
[[ $(id -u) -eq 0 ]] || { say "needs root (mmdebstrap, mount, chroot)"; exit 1; }

if ! command -v mmdebstrap >/dev/null; then
    say "installing mmdebstrap"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
fi
# The machine's own package sources, as apt here has them.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -s $f ]] && sources+=("$f")
done
if [[ ! -f $tarball ]]; then
    say "making a minimal Debian 12 root (mmdebstrap --variant=apt bookworm)"
    mkdir -p "$cache"
    start=$SECONDS
    mmdebstrap --quiet --variant=apt --format=tar --aptopt='Acquire::Check-Valid-Until "false"' \
        bookworm "$tarball.new" "${sources[@]}" </dev/null
    mv "$tarball.new" "$tarball"
    say "root made in $((SECONDS - start)) s"
fi

root=$(mktemp -d /var/tmp/quorvel-fresh.XXXXXX)
cleanup() {
    # Every mount below the root goes first; the root's files after.
    umount -R "$root"/proc "$root"/sys "$root"/dev "$root"/mnt/origin 2>/dev/null || true
    umount -R -l "$root"/proc "$root"/sys "$root"/dev "$root"/mnt/origin 2>/dev/null || true
    if ! findmnt -rn -o TARGET | grep -q "^$root/"; then
        rm -rf --one-file-system "$root"
    else
        say "left $root: something is still mounted below it"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

tar -C "$root" -xf "$tarball"
mkdir -p "$root"/mnt/origin
mount -t proc proc "$root"/proc
mount --rbind /sys "$root"/sys && mount --make-rslave "$root"/sys
mount --rbind /dev "$root"/dev && mount --make-rslave "$root"/dev
mount --bind -o ro "$top" "$root"/mnt/origin
cp -L /etc/resolv.conf "$root"/etc/resolv.conf 2>/dev/null || true

inside() { chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
timed() {
    local what=$1 start=$SECONDS
    shift
    say "$what"
    if ! inside bash -c "$*"; then
        say "FAILED after $((SECONDS - start)) s: $what"
        return 1
    fi
    say "$what: $((SECONDS - start)) s"
}

timed "installing git" \
    "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends git >/dev/null"
timed "cloning $commit" \
    "git config --global --add safe.directory '*' && git clone -q /mnt/origin /root/quorvel && git -C /root/quorvel checkout -q $commit"
timed "./quorvel board" \
    "cd /root/quorvel && ./quorvel board -c 'open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION 00 00'"
timed "./quorvel test" "cd /root/quorvel && ./quorvel test"
say "passed"
