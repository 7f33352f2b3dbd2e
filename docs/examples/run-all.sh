# Every worked example of docs/user-guide.md in one boot, each in C and in
# Python (tests/vm/guide_test.cpp), the co-processor's inputs set first.
# Run as: quorvel-board --kernel qemu dev_gpio=0x20 dev_pwm=1 dev_adc=1
#   dev_iic1=1 dev_spi1=1 dev_uart=1 dev_dht=0x80 -- sh run-all.sh BINDIR
bin=$1
coproc() { "$QUORVEL_BOARD_PROGRAM" --attach -c "coproc $*" >/dev/null; }

. "$(dirname "$0")/answer.sh"

# run EXAMPLE COMMAND...: the example's output under its name.
run() {
    name=$1
    shift
    echo "== $name"
    "$@" &
    pid=$!
    case $name in ttysp0.*) answer_after_hello $pid ;; esac
    wait $pid || echo "exit $?"
}

coproc adc 0 1234
coproc dht 23.5 41
for example in gpio pwm adc i2c spi ttysp0 dht; do
    run $example.c "$bin/example-$example"
    run $example.py /usr/bin/python3 "$(dirname "$0")/$example.py"
done
