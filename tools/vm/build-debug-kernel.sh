#!/usr/bin/env bash
# Builds the debug kernel the VM tests can boot (./quorvel test --kernel-debug)
# and prints its build directory (the module is built against it, the VM
# boots its vmlinux):
#   build-debug-kernel.sh [CACHE_DIR]
# The kernel is Debian's linux-source-6.1 (the release the plain VM boots),
# configured as `make allnoconfig` plus tools/vm/debug-kernel.config. It is
# built once per machine, outside the tree, in
# CACHE_DIR/debug-kernel-<key>, the key made of the source package's version
# and the configuration fragment; CACHE_DIR defaults to $QUORVEL_KERNEL_CACHE
# or /var/cache/quorvel. The build runs at low priority (nice 15): it takes
# the better part of half an hour on two busy cores.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${1:-${QUORVEL_KERNEL_CACHE:-/var/cache/quorvel}}
fragment=$here/debug-kernel.config

version=$(dpkg-query -W -f='${Version}' linux-source-6.1 2>/dev/null) || {
    echo "build-debug-kernel: linux-source-6.1 is not installed (./quorvel vm-setup --kernel-debug)" >&2
    exit 1
}
key=$( (echo "$version" && cat "$fragment") | sha256sum | cut -c1-12)
dir=$cache/debug-kernel-$key
build=$dir/build
if [[ -f $dir/.ready ]]; then
    echo "$build"
    exit 0
fi

# The sources: the extracted tree when it is clean (an out-of-tree build
# needs that), else the package's tarball unpacked beside the build.
src=/usr/src/linux-source-6.1
if [[ ! -f $src/Makefile || -e $src/.config || -d $src/include/config ]]; then
    src=$dir/linux-source-6.1
    if [[ ! -f $src/Makefile ]]; then
        echo "build-debug-kernel: unpacking the kernel's sources" >&2
        mkdir -p "$dir"
        tar -C "$dir" -xaf /usr/src/linux-source-6.1.tar.xz
    fi
fi

# A changed fragment starts from the last kernel built here, so that only
# what the change touches is built again (an option that a common header
# reads, as the console's log level, still rebuilds most of it).
if [[ ! -d $build ]]; then
    last=$(ls -td "$cache"/debug-kernel-*/.ready 2>/dev/null | head -1 || true)
    mkdir -p "$dir"
    [[ -n $last && -d ${last%/.ready}/build ]] && cp -a "${last%/.ready}/build" "$build"
fi
mkdir -p "$build"
started=$(date +%s)
kmake() { nice -n 15 make -s -C "$src" O="$build" ARCH=x86_64 "$@"; }
# EXPERT only afterwards: allnoconfig would turn off all that it hides.
KCONFIG_ALLCONFIG=<(grep -v '^CONFIG_EXPERT=' "$fragment") kmake allnoconfig >/dev/null
cat "$fragment" >>"$build/.config"
kmake olddefconfig >/dev/null 2>&1
# allnoconfig quietly drops what it cannot have: every option of the
# fragment must have come through as written.
missing=0
while IFS= read -r line; do
    [[ $line =~ ^(CONFIG_[A-Z0-9_]+)=(.*)$ ]] || continue
    grep -qxF "$line" "$build/.config" || { echo "build-debug-kernel: $line did not take" >&2; missing=1; }
done <"$fragment"
while IFS= read -r line; do
    [[ $line =~ ^#\ (CONFIG_[A-Z0-9_]+)\ is\ not\ set$ ]] || continue
    ! grep -q "^${BASH_REMATCH[1]}=" "$build/.config" || { echo "build-debug-kernel: $line did not take" >&2; missing=1; }
done <"$fragment"
((missing == 0)) || exit 1

echo "build-debug-kernel: building Linux $version with the debug options in $build" >&2
kmake -j"$(nproc)" all >"$build/build.log" 2>&1 || {
    tail -40 "$build/build.log" >&2
    exit 1
}
echo "build-debug-kernel: built in $(($(date +%s) - started)) s" >&2
echo "$version $(($(date +%s) - started))" >"$dir/.ready"
# Kernels of earlier fragments are not booted again.
for other in "$cache"/debug-kernel-*; do
    [[ $other == "$dir" ]] || rm -rf "$other"
done
echo "$build"
