#!/usr/bin/env bash
# Refuses file names that a shell, a build tool or a person would trip
# over: only letters, digits and . _ - / + are allowed.
# Usage: check_file_names.sh SOURCE_DIR
set -euo pipefail
bad=$("$(dirname "$0")"/source_files.sh "$1" | LC_ALL=C grep -v '^[A-Za-z0-9._/+-]*$' || true)
if [[ -n $bad ]]; then
    echo "file names outside letters, digits and ._-/+:" >&2
    while IFS= read -r name; do printf '  %q\n' "$name"; done <<<"$bad" >&2
    exit 1
fi
