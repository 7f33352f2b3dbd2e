#!/usr/bin/env bash
# How long `./quorvel board -c ''` takes when nothing has changed: the
# up-to-date check, the board's start and its leaving. Ten runs after one
# that builds what is due; prints each and the median, and exits 1 if the
# median is above the 0.15 s a person should wait.
#   bench/up_to_date_check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
./quorvel board -c '' >/dev/null
times=()
for _ in $(seq 10); do
    start=$(date +%s%N)
    ./quorvel board -c '' >/dev/null
    times+=($((($(date +%s%N) - start) / 1000000)))
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
median=${sorted[5]}
echo "runs (ms): ${times[*]}"
echo "median: ${median} ms (target: at most 150 ms)"
((median <= 150))
