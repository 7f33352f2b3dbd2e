/* PWM channel 0 of pwmchip0: a 1 kHz square wave at 25 %. */
#include <stdio.h>

static int put(const char *path, const char *text)
{
    FILE *f = fopen(path, "w");
    if (!f || fputs(text, f) < 0 || fclose(f) != 0) {
        perror(path);
        return -1;
    }
    return 0;
}

int main(void)
{
    const char *dir = "/sys/class/pwm/pwmchip0/pwm0";
    char path[64];
    if (put("/sys/class/pwm/pwmchip0/export", "0"))
        return 1;
    snprintf(path, sizeof path, "%s/period", dir);
    if (put(path, "1000000"))
        return 1;
    snprintf(path, sizeof path, "%s/duty_cycle", dir);
    if (put(path, "250000"))
        return 1;
    snprintf(path, sizeof path, "%s/enable", dir);
    if (put(path, "1"))
        return 1;
    printf("pwm0: period 1000000 ns, duty 250000 ns, on\n");
    return put(path, "0") || put("/sys/class/pwm/pwmchip0/unexport", "0") ? 1 : 0;
}
