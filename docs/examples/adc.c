/* Analog input 0: IIO device iio:device1, its raw 16-bit sample. */
#include <stdio.h>

int main(void)
{
    unsigned sample;
    FILE *f = fopen("/sys/bus/iio/devices/iio:device1/in_voltage0_raw", "r");
    if (!f || fscanf(f, "%u", &sample) != 1) {
        perror("in_voltage0_raw");
        return 1;
    }
    fclose(f);
    printf("adc0 = %u\n", sample);
    return 0;
}
