# PWM channel 0 of pwmchip0: a 1 kHz square wave at 25 % (python3-periphery).
from periphery import PWM

pwm = PWM(0, 0)
pwm.frequency = 1000
pwm.duty_cycle = 0.25
pwm.enable()
print("pwm0: period", pwm.period_ns, "ns, duty", pwm.duty_cycle_ns, "ns, on")
pwm.disable()
pwm.close()
