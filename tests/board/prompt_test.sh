#!/usr/bin/env bash
# The prompt as a person uses it, driven through tmux: Ctrl-C interrupts a
# command and gives the prompt back, clears a half-typed line, never ends the
# board; history is kept between sessions; Tab completes the board's own
# paths; SIGTERM leaves cleanly; quorvel-coproc run with & keeps serving.
#   prompt_test.sh BOARD_BIN COPROC_BIN
set -u
board=$1 coproc=$2
command -v tmux >/dev/null || { echo "tmux is not installed"; exit 77; }
tmp=$(mktemp -d /tmp/quorvel-prompt-XXXXXX)
server=quorvel-prompt-$$
tm() { tmux -L "$server" "$@"; }
cleanup() { tm kill-server 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT

screen() { tm capture-pane -p -t main; }
fail() { echo "FAIL: $*"; echo "--- the screen:"; screen; exit 1; }
# seen PATTERN SECONDS: whether the screen comes to show it (grep -E).
seen() {
    local tenths=$(($2 * 10))
    for ((i = 0; i < tenths; i++)); do
        screen | grep -Eq -- "$1" && return 0
        sleep 0.1
    done
    return 1
}
# wait_for PATTERN [SECONDS]: the same, or the test fails.
wait_for() { seen "$1" "${2:-120}" || fail "waiting for '$1'"; }
# The cursor is on a line of its own below the command: it has been taken.
wait_taken() {
    for ((i = 0; i < 1200; i++)); do
        local y line
        y=$(tm display -p -t main '#{cursor_y}')
        line=$(screen | sed -n "$((y + 1))p")
        [[ -z ${line// /} ]] && screen | grep -Fq -- "$1" && return 0
        sleep 0.1
    done
    fail "waiting for '$1' to run"
}
keys() { tm send-keys -t main "$@"; }
# The line the cursor is on comes to match PATTERN (grep -E), or the test
# fails: a Ctrl-C is a signal, taken apart from the keys typed after it, so
# the next keys wait until the prompt has answered it.
wait_cursor_line() {
    for ((i = 0; i < 1200; i++)); do
        local y
        y=$(tm display -p -t main '#{cursor_y}')
        screen | sed -n "$((y + 1))p" | grep -Eq -- "$1" && return 0
        sleep 0.1
    done
    fail "waiting for the cursor's line to show '$1'"
}

HOME=$tmp tm new-session -d -s main -x 150 -y 50 "env HOME=$tmp bash --norc --noprofile -i"
keys "PS1='sh\$ '" Enter
keys "$board; echo status=\$?" Enter
wait_for '^board# ?$'

# Ctrl-C ends a long sleep and gives the prompt back; the board goes on.
keys 'sleep 600000' Enter
wait_taken 'board# sleep 600000'
# (A Ctrl-C that came just before the command started is a prompt's: again.)
keys C-c
seen '^board# ?$' 10 || { keys C-c; wait_for '^board# ?$'; }
keys 'lsmod' Enter
wait_for '^quorvel_linux_module$'

# Ctrl-C at a half-typed line clears it; the line is not run.
keys 'open /dev/bogus'
wait_for '^board# open /dev/bogus$'
keys C-c
wait_cursor_line '^board# ?$'
keys 'echo -n x > /dev/nope' Enter
wait_for 'echo: /dev/nope'
screen | grep -q 'No such file or directory' || fail "the cleared line's error missing"
screen | grep -Fq -- '-2 (No such file' && fail "the cleared line ran"

# Tab completes from the board's /sys, not the host's.
keys 'ls /sys/class/config_cl' Tab
wait_for '^board# ls /sys/class/config_class/$'
keys C-u 'exit' Enter
wait_for '^status=0$'
grep -qx 'lsmod' "$tmp/.quorvel_history" || fail "history not kept in ~/.quorvel_history"

# SIGTERM: the board leaves as exit does, with 128 + 15.
keys 'clear' Enter
keys "$board; echo status=\$?" Enter
wait_for '^board# ?$'
pid=$(pgrep -P "$(tm display -p -t main '#{pane_pid}')" -x quorvel-board)
[[ -n $pid ]] || fail "no board process"
kill -TERM "$pid"
wait_for '^status=143$'

# quorvel-coproc in the background keeps serving, and takes coproc commands
# from a board on its line.
keys 'clear' Enter
keys "$coproc --link $tmp/line &" Enter
for ((i = 0; i < 600; i++)); do [[ -L $tmp/line ]] && break; sleep 0.1; done
out=$("$board" --uart "$tmp/line" -c 'coproc dht 30 50; open /dev/dht; ioctl 3 DHT_IOCTL_CMD 01 02 03 04' dev_dht=1 2>&1 </dev/null)
grep -q 'dht: 30.0 C, 50.0 %' <<<"$out" || { echo "$out"; fail "coproc not forwarded"; }
grep -q '^0 ' <<<"$out" || { echo "$out"; fail "the background co-processor did not answer"; }
keys 'jobs' Enter
wait_for 'Running'
screen | grep -q 'Stopped' && fail "the co-processor stopped itself"
keys 'kill %1' Enter
for ((i = 0; i < 600; i++)); do [[ -L $tmp/line ]] || break; sleep 0.1; done
[[ -L $tmp/line ]] && fail "the link outlived its co-processor"
echo "1 passed, 0 failed"
