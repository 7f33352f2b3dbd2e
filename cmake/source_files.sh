#!/usr/bin/env bash
# Lists the project's files, one per line, relative to SOURCE_DIR: what git
# tracks when the tree is a clone, otherwise every file but build trees and
# git's own. Usage: source_files.sh SOURCE_DIR [GLOB...]
set -euo pipefail
cd "$1"
shift
if git rev-parse --is-inside-work-tree >/dev/null 2>&1 && [[ $(git rev-parse --show-toplevel) == "$PWD" ]]; then
    git ls-files -z -- "$@" | tr '\0' '\n'
    exit 0
fi
names=()
for glob in "$@"; do
    ((${#names[@]})) && names+=(-o)
    names+=(-name "$glob")
done
find . \( -path './build*' -o -path './.git' \) -prune -o -type f \
    ${names[@]+\( "${names[@]}" \)} -print | sed 's|^\./||' | LC_ALL=C sort
