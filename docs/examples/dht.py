# The DHT on pin 7: one reading per ioctl. DHT_IOCTL_CMD is
# _IOW('D', 3, struct privateData), struct privateData four bytes
# (<linux/quorvel.h>).
import fcntl

DHT_IOCTL_CMD = 0x40044403

with open("/dev/dht", "rb+", buffering=0) as dht:
    r = bytearray([7, 0, 0, 0])  # the pin, for the co-processor
    fcntl.ioctl(dht, DHT_IOCTL_CMD, r)
sign = "-" if r[2] & 0x80 else ""
print("humidity %d.%d %%, temperature %s%d.%d C" % (r[0], r[1], sign, r[2] & 0x7F, r[3]))
