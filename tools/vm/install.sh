#!/usr/bin/env bash
# Installs what the QEMU backend needs and caches the kernel it boots:
#   tools/vm/install.sh CACHE_DIR
# Debian packages: the headers of Debian 12's kernel (for building the .ko),
# QEMU (x86, run under TCG) and a static busybox (the guest's userland). The
# kernel image matching the headers is fetched with `apt-get download` and
# unpacked into CACHE_DIR (never installed into the host's /boot). Prints the
# kernel release (e.g. 6.1.0-57-amd64) on success; fails loudly otherwise.
set -euo pipefail
cache=${1:?usage: install.sh CACHE_DIR}

packages=(linux-headers-amd64 qemu-system-x86 busybox-static cpio kmod xz-utils binutils
    # Third-party clients the tests run on the board (tests/vm/clients_test.cpp)
    python3-periphery python3-smbus2 python3-spidev python3-serial i2c-tools gpiod)
sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "quorvel: installing ${missing[*]}" >&2
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# linux-headers-amd64 depends on exactly one versioned headers package, whose
# name carries the kernel release: fetch the image of the same release and
# version.
dep=$(dpkg-query -W -f='${Depends}' linux-headers-amd64)
release=$(sed -n 's/.*linux-headers-\([0-9][^ ,]*\).*/\1/p' <<<"$dep")
[[ -n $release ]] || { echo "quorvel: cannot tell the kernel release from '$dep'" >&2; exit 1; }
version=$(dpkg-query -W -f='${Version}' "linux-headers-$release")

dir=$cache/linux-image-$release
if [[ ! -f $dir/.ready-$version ]]; then
    echo "quorvel: fetching linux-image-$release $version" >&2
    rm -rf "$dir" && mkdir -p "$dir"
    # As root, apt's download sandbox user could not write here.
    sandbox=()
    [[ $(id -u) -eq 0 ]] && sandbox=(-o APT::Sandbox::User=root)
    download() { (cd "$dir" && apt-get download -qq "${sandbox[@]}" "linux-image-$release=$version" >/dev/null); }
    download || { "${sudo[@]}" apt-get update -qq && download; }
    dpkg-deb -x "$dir"/linux-image-"$release"_*.deb "$dir/root"
    rm -f "$dir"/*.deb
    # The package's module index is made when it is installed; here, by hand.
    depmod -b "$dir/root" "$release"
    touch "$dir/.ready-$version"
fi
[[ -f $dir/root/boot/vmlinuz-$release ]] || { echo "quorvel: no kernel image in $dir" >&2; exit 1; }
echo "$release"
