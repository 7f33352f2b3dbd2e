# Every worked example of docs/user-guide.md in one boot, each in C and in
# Python (tests/vm/guide_test.cpp), the co-processor's inputs set first.
# Run as: quorvel-board --kernel qemu dev_gpio=0x20 dev_pwm=1 dev_adc=1
#   dev_iic1=1 dev_spi1=1 dev_uart=1 dev_dht=0x80 -- sh run-all.sh BINDIR
bin=$1
coproc() { "$QUORVEL_BOARD_PROGRAM" --attach -c "coproc $*" >/dev/null; }
coproc adc 0 1234
coproc dht 23.5 41
for example in gpio pwm adc i2c spi ttysp0 dht; do
    [ $example = ttysp0 ] && coproc uart send '"pong"'
    echo "== $example.c"
    "$bin/example-$example" || echo "exit $?"
    [ $example = ttysp0 ] && coproc uart send '"pong"'
    echo "== $example.py"
    /usr/bin/python3 "$(dirname "$0")/$example.py" || echo "exit $?"
done
