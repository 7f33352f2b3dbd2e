# The LM75 at 0x48 on bus 0: its temperature register (python3-smbus2).
from smbus2 import SMBus

with SMBus(0) as bus:
    msb, lsb = bus.read_i2c_block_data(0x48, 0x00, 2)
print("lm75: %.1f C" % ((msb - 256 if msb > 127 else msb) + (lsb >> 7) * 0.5))
