/* Pin 5 as an output, set high, read back: GPIO 205 through sysfs. */
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
    char value[8] = "";
    if (put("/sys/class/gpio/export", "205") || put("/sys/class/gpio/gpio205/direction", "out") ||
        put("/sys/class/gpio/gpio205/value", "1"))
        return 1;
    FILE *f = fopen("/sys/class/gpio/gpio205/value", "r");
    if (!f || !fgets(value, sizeof value, f))
        return 1;
    fclose(f);
    printf("gpio205 = %s", value);
    return put("/sys/class/gpio/unexport", "205") ? 1 : 0;
}
