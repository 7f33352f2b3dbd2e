# The board's third-party clients in one boot (tests/vm/clients_test.cpp):
# Debian's i2c-tools and gpiod, then Python's libraries, each section with
# the frames the co-processor saw for it.
set -e
board() { "$QUORVEL_BOARD_PROGRAM" --attach -c "$1"; }
section() { board trace >/dev/null; echo "== $1"; }
done_() { echo "-- frames"; board trace; }

# Each i2c-tools command alone, to be set beside the board's own.
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
COMMANDS

section "gpiod"
gpiodetect
gpioinfo gpiochip0 | head -7
gpioset gpiochip0 5=1
gpioget gpiochip0 5
done_

/usr/bin/python3 "$(dirname "$0")/clients.py"
