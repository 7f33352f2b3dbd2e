#!/usr/bin/env bash
# Makes what the VM boots, in OUT_DIR: vmlinuz (the cached Debian kernel),
# vmlinux (the same kernel uncompressed, when it can be had) and
# initramfs.cpio.gz (busybox, the board's guest program, the module, and
# the kernel's own modules named after the cache directory, with what they
# depend on, from the same image).
#   make-initramfs.sh OUT_DIR GUEST_PROGRAM MODULE.ko CACHE_DIR [KERNEL_MODULE...]
# CACHE_DIR may instead be a kernel's build directory (the debug kernel,
# tools/vm/build-debug-kernel.sh): its images, and no modules beside the
# board's, the kernel having built in what the board needs.
set -euo pipefail
out=$1 guest=$2 ko=$3 cache=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)

if [[ -f $cache/vmlinux && -f $cache/include/config/kernel.release ]]; then
    exec "$here/make-initramfs-built.sh" "$out" "$guest" "$ko" "$cache"
fi
image=$(ls -d "$cache"/linux-image-*/root 2>/dev/null | head -1 || true)
[[ -n $image ]] && image=$(cd "$image" && pwd)
vmlinuz=$(ls "$image"/boot/vmlinuz-* 2>/dev/null | head -1 || true)
if [[ -z $vmlinuz ]]; then
    echo "make-initramfs: no kernel image in $cache (run ./quorvel vm-setup)" >&2
    exit 1
fi
busybox=/bin/busybox # busybox-static's: the guest has no C library
release=${vmlinuz##*/vmlinuz-}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules}
cp "$busybox" "$root/bin/busybox"
# Without their debugging sections, which are most of their size: the
# guest's firmware loads the initramfs and the kernel unpacks it, slowly
# under TCG.
strip -o "$root/bin/quorvel-guest" "$guest"
cp "$here/init" "$root/init"
strip --strip-debug -o "$root/lib/modules/$(basename "$ko")" "$ko"
# Kernel modules the board needs, with
# their dependencies; loaded by the guest with busybox's modprobe.
if (($#)); then
    moddir=$image/lib/modules/$release
    mkdir -p "$root/lib/modules/$release"
    cp "$moddir"/modules.{order,builtin,dep} "$root/lib/modules/$release/" 2>/dev/null || true
    for m in "$@"; do
        deps=$(modprobe -d "$image" -S "$release" --show-depends "$m") || {
            echo "make-initramfs: no kernel module $m in $image" >&2
            exit 1
        }
        for f in $(awk '$1=="insmod"{print $2}' <<<"$deps"); do
            mkdir -p "$root/$(dirname "${f#"$image"}")"
            cp "$f" "$root/${f#"$image"}"
        done
    done
fi
mkdir -p "$out"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) | gzip -1 >"$out/initramfs.cpio.gz.new"
mv "$out/initramfs.cpio.gz.new" "$out/initramfs.cpio.gz"
cp "$vmlinuz" "$out/vmlinuz"
# The kernel itself, out of its xz-compressed self-extracting image: QEMU
# boots the ELF directly (PVH entry), which spares the guest decompressing
# it, some ten seconds under TCG on a busy machine.
offset=$(grep -abo $'\xfd7zXZ\x00' "$vmlinuz" | head -1 | cut -d: -f1 || true)
rm -f "$out/vmlinux"
if [[ -n $offset ]] && { tail -c +$((offset + 1)) "$vmlinuz" || true; } | { xz -dc 2>/dev/null || true; } >"$out/vmlinux.new" &&
    [[ $(head -c 4 "$out/vmlinux.new" | od -An -tx1 | tr -d ' ') == 7f454c46 ]]; then
    mv "$out/vmlinux.new" "$out/vmlinux"
else
    rm -f "$out/vmlinux.new" # the compressed image boots too, only slower
fi
