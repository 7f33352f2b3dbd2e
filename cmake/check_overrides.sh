#!/usr/bin/env bash
# Checks that each header the real-kernel backend overrides
# (kernel/linux/include/linux/X.h) still names everything its kernel-layer
# original (kernel/include/linux/X.h) declares: macros, functions, structures
# and types. A name the override leaves out on purpose is named in a comment
# there, with the reason. Usage: check_overrides.sh SOURCE_DIR
set -euo pipefail
cd "$1"
status=0
for override in kernel/linux/include/linux/*.h; do
    original=kernel/include/${override#kernel/linux/include/}
    [[ -f $original ]] || continue
    names=$(
        {
            grep -oE '^#define[[:space:]]+[A-Za-z_][A-Za-z0-9_]*' "$original" | awk '{print $2}'
            # Declarations of functions: a line that starts with a type and
            # ends its name with an opening parenthesis.
            grep -E '^[[:space:]]*[A-Za-z_][A-Za-z0-9_ *]*[[:space:]*][A-Za-z_][A-Za-z0-9_]*\(' "$original" |
                grep -vE '^[[:space:]]*(#|//|return|if|while|for|switch)' |
                sed -E 's/^([^(]*[^A-Za-z0-9_])?([A-Za-z_][A-Za-z0-9_]*)\(.*/\2/'
            grep -oE '^(struct|typedef struct|typedef)[[:space:]]+[^;{(]*' "$original" | awk '{print $NF}'
        } | sort -u
    )
    for name in $names; do
        if ! grep -qw -- "$name" "$override"; then
            echo "$override: '$name' of $original is missing (declare it, or say in a comment why not)" >&2
            status=1
        fi
    done
done
exit $status
