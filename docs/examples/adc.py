# Analog input 0: IIO device iio:device1, its raw 16-bit sample.
with open("/sys/bus/iio/devices/iio:device1/in_voltage0_raw") as f:
    print("adc0 =", int(f.read()))
