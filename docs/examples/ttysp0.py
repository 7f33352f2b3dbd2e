# ttySP0, the co-processor's serial port: 115200 8N1, a line out, and up to
# 5 s for what comes back (python3-serial).
import serial

with serial.Serial("/dev/ttySP0", 115200, timeout=5) as port:
    port.write(b"hello\n")
    data = port.read(64)
print("got %d bytes: %s" % (len(data), data.decode()))
