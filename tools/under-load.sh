#!/usr/bin/env bash
# Runs the suite again and again beside a CPU load, with no retry, and prints
# what passed: the VM tests must not fail because the host is busy.
#   tools/under-load.sh [VM_RUNS [SUITE_RUNS [BUILD_DIR]]]
# VM_RUNS runs of the `vm` label, then SUITE_RUNS runs of the whole plain
# suite, each while two `yes` processes keep both cores of a 2-core machine
# busy. The build directory must be built (./quorvel test builds it). The
# logs of failed runs stay in BUILD_DIR/under-load/.
set -euo pipefail
vm_runs=${1:-20}
suite_runs=${2:-10}
build=${3:-build}
logs=$build/under-load
mkdir -p "$logs"

load=()
stop_load() { ((${#load[@]})) && kill "${load[@]}" 2>/dev/null; wait 2>/dev/null || true; }
trap stop_load EXIT
for _ in 1 2; do
    yes >/dev/null &
    load+=($!)
done

# series NAME RUNS CTEST_ARGS...: prints a line per run and a total.
series() {
    local name=$1 runs=$2 passed=0 i start rc
    shift 2
    for ((i = 1; i <= runs; i++)); do
        start=$SECONDS
        rc=0
        ctest --test-dir "$build" --timeout 900 --output-on-failure "$@" >"$logs/$name-$i.log" 2>&1 || rc=$?
        if ((rc == 0)); then
            passed=$((passed + 1))
            rm -f "$logs/$name-$i.log"
            echo "$name run $i: passed in $((SECONDS - start)) s"
        else
            echo "$name run $i: FAILED in $((SECONDS - start)) s: $(grep -E '^\s+[0-9]+ - ' "$logs/$name-$i.log" |
                sed -E 's/^\s+[0-9]+ - //' | tr '\n' ' ')"
        fi
    done
    echo "$name: $passed of $runs runs passed"
}

echo "load: $(uptime | sed 's/.*load average: //')"
((vm_runs > 0)) && series vm "$vm_runs" -L vm
((suite_runs > 0)) && series suite "$suite_runs" -j "$(nproc)"
echo "load: $(uptime | sed 's/.*load average: //')"
