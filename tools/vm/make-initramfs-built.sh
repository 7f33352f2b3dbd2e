#!/usr/bin/env bash
# make-initramfs.sh for a kernel built here (the debug kernel): its bzImage
# (its vmlinux's PVH entry does not come up under KASAN: QEMU exits at once
# without a line on the console), and an initramfs with busybox,
# the board's guest program and the module. The kernel has built in what
# the board needs; its list of built-in modules tells the guest's init so.
#   make-initramfs-built.sh OUT_DIR GUEST_PROGRAM MODULE.ko KERNEL_BUILD_DIR
set -euo pipefail
out=$1 guest=$2 ko=$3 kbuild=$4
here=$(cd "$(dirname "$0")" && pwd)
release=$(cat "$kbuild/include/config/kernel.release")

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules/"$release"}
cp /bin/busybox "$root/bin/busybox"
strip -o "$root/bin/quorvel-guest" "$guest"
cp "$here/init" "$root/init"
strip --strip-debug -o "$root/lib/modules/$(basename "$ko")" "$ko"
cp "$kbuild/modules.builtin" "$root/lib/modules/$release/"
mkdir -p "$out"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) | gzip -1 >"$out/initramfs.cpio.gz.new"
mv "$out/initramfs.cpio.gz.new" "$out/initramfs.cpio.gz"
cp "$kbuild/arch/x86/boot/bzImage" "$out/vmlinuz"
rm -f "$out/vmlinux"
