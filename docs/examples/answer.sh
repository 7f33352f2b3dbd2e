# The co-processor's serial port answers "pong" once the example's "hello"
# has reached it: by then the example holds ttySP0 open, has set it up and
# flushed its input (pyserial's open does), so the answer can neither be
# thrown away by that flush nor be fetched for an earlier example's port,
# which stays installed (and polled) until its release has run.
#   . answer.sh; answer_after_hello PID
answer_after_hello() {
    while kill -0 "$1" 2>/dev/null; do
        if "$QUORVEL_BOARD_PROGRAM" --attach -c "coproc uart show" | grep -q hello; then
            "$QUORVEL_BOARD_PROGRAM" --attach -c 'coproc uart send "pong"' >/dev/null
            return
        fi
        sleep 0.05
    done
}
