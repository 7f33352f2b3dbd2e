# Python's own libraries for the board's interfaces, against the module on
# the real kernel: python3-periphery, python3-smbus2, python3-spidev and
# python3-serial, as Debian ships them. Each section prints "== NAME", what
# the library gave, then the frames the co-processor saw for it (the board's
# trace, through its control socket: $QUORVEL_BOARD).
import os
import subprocess
import sys

BOARD = os.environ["QUORVEL_BOARD_PROGRAM"]


def board(commands):
    sys.stdout.flush()
    subprocess.run([BOARD, "--attach", "-c", commands], check=True)


def section(name):
    board("trace")  # what came before is not this section's
    print("== " + name, flush=True)


def done():
    print("-- frames", flush=True)
    board("trace")


from periphery import GPIO, I2C, PWM, SPI, Serial

section("periphery GPIO")
g = GPIO(205, "out")
g.write(True)
print("direction", g.direction, "value", g.read())
g.close()
done()

section("periphery PWM")
p = PWM(0, 0)
p.period_ns = 1000000
p.duty_cycle_ns = 250000
p.enable()
print("period", p.period_ns, "duty", p.duty_cycle_ns, "enabled", p.enabled)
p.disable()
p.close()
done()

section("periphery SPI")
s = SPI("/dev/spidev4.0", 0, 1000000)
print("jedec", [hex(b) for b in s.transfer([0x9F, 0, 0, 0])[1:]])
s.close()
done()

section("periphery I2C")
i = I2C("/dev/i2c-0")
msgs = [I2C.Message([0x00]), I2C.Message([0, 0], read=True)]
i.transfer(0x48, msgs)
print("lm75", [hex(b) for b in msgs[1].data])
i.close()
done()

section("periphery Serial")
u = Serial("/dev/ttySP0", 115200)
u.write(b"hi")
board("coproc uart send \"pong\"")
print("read", u.read(4, 5.0))
u.close()
done()

from smbus2 import SMBus, i2c_msg

section("smbus2")
with SMBus(0) as bus:
    print("lm75 word", hex(bus.read_word_data(0x48, 0x00)))
    bus.write_word_data(0x48, 0x02, 0x004B)
    print("thyst", hex(bus.read_word_data(0x48, 0x02)))
    bus.write_byte_data(0x50, 0x10, 0x5A)
    print("byte", hex(bus.read_byte_data(0x50, 0x10)))
    bus.write_i2c_block_data(0x50, 0x20, [1, 2, 3, 4])
    print("block", bus.read_i2c_block_data(0x50, 0x20, 4))
done()

import spidev

section("spidev")
d = spidev.SpiDev()
d.open(3, 0)
d.mode = 1
d.max_speed_hz = 500000
d.bits_per_word = 8
print("mode", d.mode, "speed", d.max_speed_hz, "bits", d.bits_per_word)
print("xfer2", d.xfer2([0x01, 0x02, 0x03]))
d.close()
done()

import serial

section("pyserial")
with serial.Serial("/dev/ttySP0", 9600, timeout=5) as t:
    t.baudrate = 19200
    t.write(b"abc")
    t.flush()
    board("coproc uart send \"xyz\"")
    print("read", t.read(3))
done()
