# The SPI flash on /dev/spidev4.0: its JEDEC id (python3-spidev).
import spidev

spi = spidev.SpiDev()
spi.open(4, 0)
spi.mode = 0
spi.max_speed_hz = 1000000
rx = spi.xfer2([0x9F, 0, 0, 0])
spi.close()
print("jedec id: %02x %02x %02x" % tuple(rx[1:]))
