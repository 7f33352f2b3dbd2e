#!/usr/bin/env bash
# Builds quorvel_linux_module.ko for a real kernel with the kernel's own
# build system (Kbuild), from the unchanged module sources:
#   build-module.sh OUT_DIR [KERNEL_BUILD_DIR]
# KERNEL_BUILD_DIR defaults to the installed Debian headers of the
# linux-headers-amd64 package. The module is OUT_DIR/quorvel_linux_module.ko.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
out=$1
kdir=${2:-}
if [[ -z $kdir ]]; then
    release=$(dpkg-query -W -f='${Depends}' linux-headers-amd64 2>/dev/null | sed -n 's/.*linux-headers-\([0-9][^ ,]*\).*/\1/p')
    kdir=/usr/src/linux-headers-$release
fi
if [[ ! -f $kdir/Makefile ]]; then
    echo "build-module: no kernel headers at '$kdir' (install linux-headers-amd64: ./quorvel vm-setup)" >&2
    exit 1
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
printf 'QUORVEL_SRC := %s\ninclude $(QUORVEL_SRC)/kernel/linux/Kbuild\n' "$src" >"$out/Kbuild.new"
cmp -s "$out/Kbuild.new" "$out/Kbuild" 2>/dev/null || mv "$out/Kbuild.new" "$out/Kbuild"
rm -f "$out/Kbuild.new"
# No BTF type information: the headers package has no vmlinux to base it on.
# Kbuild runs as a make of its own, not as a rule of the calling build's:
# it takes its own jobs rather than a jobserver it was not handed.
unset MAKEFLAGS MFLAGS MAKELEVEL
exec make -s -j"$(nproc)" -C "$kdir" M="$out" QUORVEL_SRC="$src" CONFIG_DEBUG_INFO_BTF_MODULES= ${V:+V=$V} modules
