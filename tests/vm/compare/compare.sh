# The same programs on either kernel (tests/vm/compare_test.cpp): the probe
# of each interface, Debian's i2c-tools, Python's libraries and the user
# guide's examples, each section with the frames the co-processor saw for it.
#   sh compare.sh PROBE EXAMPLES_BIN
probe=$1
examples=$2
here=$(dirname "$0")
tree=$here/../../..
board() { "$QUORVEL_BOARD_PROGRAM" --attach -c "$1"; }
section() { board trace >/dev/null; echo "== $1"; }
done_() { echo "-- frames"; board trace; }
. "$tree/docs/examples/answer.sh"

board "coproc adc 0 1234; coproc dht 23.5 41" >/dev/null
# The counter last: its last close resets the co-processor, whose restart
# text would otherwise fall into the next section's exchange at a moment
# each kernel's clock decides.
for p in config dht sensors gpio pwm iio spidev i2c tty; do
    section "probe $p"
    "$probe" $p || echo "exit $?"
    done_
done

while IFS= read -r cmd; do
    section "$cmd"
    $cmd || echo "exit $?"
    done_
done <<'COMMANDS'
i2cdetect -y 0
i2cget -y 0 0x48 0x00 w
i2cset -y 0 0x50 0x30 0xab
i2cget -y 0 0x50 0x30
i2ctransfer -y 0 w1@0x48 0x00 r2@0x48
i2cdump -y 0 0x48
i2cget -y 0 0x49 0x00
i2cset -y 0 0x50 0x100 1
COMMANDS

for example in gpio pwm adc i2c spi ttysp0 dht; do
    for kind in c py; do
        section "example $example.$kind"
        if [ $kind = c ]; then "$examples/example-$example" &
        else /usr/bin/python3 "$tree/docs/examples/$example.py" & fi
        pid=$!
        [ $example = ttysp0 ] && answer_after_hello $pid
        wait $pid || echo "exit $?"
        done_
    done
done

/usr/bin/python3 "$here/../clients/clients.py"

section "probe count"
"$probe" count || echo "exit $?"
done_
