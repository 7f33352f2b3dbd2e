#!/usr/bin/env bash
# Checks that a module image needs nothing but the kernel: every undefined
# symbol is exported by the kernel layer (or is one of the string routines the
# kernel provides), it names no shared library, and it has no global
# constructors. Usage: check_module_boundary.sh MODULE.ko LIBKERNEL.so [SANITIZER]
set -euo pipefail
module=$1 kernel=$2 sanitize=${3:-}

# String and formatting routines the kernel exports under the C library's names.
kernel_lib='^(memcpy|memmove|memset|memcmp|strlen|strnlen|strcmp|strncmp|snprintf|vsnprintf)$'
# Instrumentation of sanitizer builds; the kernel has its own (KASAN, UBSAN, KCSAN).
instrumentation='^(__asan_|__ubsan_|__tsan_|__sanitizer_)'

exported=$(nm -D --defined-only "$kernel" | awk '{print $3}' | sort -u)
status=0
while read -r sym; do
    [[ -z $sym ]] && continue
    sym=${sym%%@*}
    if [[ $sym =~ $kernel_lib ]]; then continue; fi
    if [[ -n $sanitize && $sym =~ $instrumentation ]]; then continue; fi
    # The kernel's interface is C: a C++ name is the kernel layer's inside.
    if [[ $sym == _Z* ]]; then
        echo "module boundary: $module needs the C++ symbol '$sym' of the kernel layer's inside" >&2
        status=1
        continue
    fi
    if ! grep -qxF "$sym" <<<"$exported"; then
        echo "module boundary: $module needs '$sym', which the kernel does not provide" >&2
        status=1
    fi
done < <(nm -D --undefined-only "$module" | awk '{print $2}' | grep -v '^_\?_\?\(gmon_start__\|_ITM_\|_cxa_finalize\)' || true)

if readelf -d "$module" | grep -q '(NEEDED)'; then
    echo "module boundary: $module names shared libraries:" >&2
    readelf -d "$module" | grep '(NEEDED)' >&2
    status=1
fi
if [[ -z $sanitize ]] && readelf -S -W "$module" | grep -Eq '\.(init_array|ctors)'; then
    echo "module boundary: $module has global constructors" >&2
    status=1
fi
exit $status
