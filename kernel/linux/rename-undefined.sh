#!/usr/bin/env bash
# Renames every kernel symbol the module's prelinked object calls to
# qk_<name>, which the glue defines on the real kernel's API, so that no call
# binds to a kernel export of the same name whose arguments or meaning differ
# (kernel_read, do_exit, class_create...). Kept as they are: the module's
# descriptor (__this_module, from the kernel's .mod.c), the kernel's parameter
# operations (the module's parameters have the kernel's layout), and what the
# compiler itself calls (ftrace entry, stack protector, retpoline thunks,
# KASAN's and UBSAN's checks on a debug kernel).
# Usage: rename-undefined.sh OBJECT NM OBJCOPY
set -euo pipefail
obj=$1 nm=${2:-nm} objcopy=${3:-objcopy}
keep='^(__this_module|param_ops_[a-z]+|__fentry__|__stack_chk_fail|__x86_.*|__sanitizer_cov_.*|__asan_.*|__ubsan_.*)$'
map=$obj.renames
"$nm" -u "$obj" | awk '{print $2}' | sort -u | while read -r sym; do
    [[ $sym =~ $keep ]] && continue
    if [[ $sym == _Z* ]]; then
        echo "rename-undefined: the module calls the C++ symbol $sym; kernel interfaces are C" >&2
        exit 1
    fi
    echo "$sym qk_$sym"
done >"$map"
"$objcopy" --redefine-syms="$map" "$obj"
