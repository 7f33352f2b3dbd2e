#!/usr/bin/env bash
# Checks that every C++ source of the project is laid out as its
# .clang-format says (the module and the kernel-shaped headers in kernel
# style, host code in the project's own). Usage: check_format.sh SOURCE_DIR
set -euo pipefail
cd "$1"
if ! command -v clang-format >/dev/null; then
    echo "clang-format is not installed" >&2
    exit 1
fi
mapfile -t files < <("$(dirname "$0")"/source_files.sh . '*.cpp' '*.hpp' '*.h')
((${#files[@]})) || { echo "no sources found" >&2; exit 1; }
clang-format --dry-run --Werror "${files[@]}"
