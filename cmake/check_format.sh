#!/usr/bin/env bash
# Checks that every C++ source the project tracks is laid out as its
# .clang-format says (the module and the kernel-shaped headers in kernel
# style, host code in the project's own). Usage: check_format.sh SOURCE_DIR
set -euo pipefail
cd "$1"
if ! command -v clang-format >/dev/null; then
    echo "clang-format is not installed" >&2
    exit 1
fi
files=$(git ls-files -- '*.cpp' '*.hpp' '*.h' 2>/dev/null ||
        find . -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -not -path './build*')
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
