# Pin 5 as an output, set high, read back: GPIO 205 (python3-periphery).
from periphery import GPIO

pin = GPIO(205, "out")
pin.write(True)
print("gpio205 =", int(pin.read()))
pin.close()
