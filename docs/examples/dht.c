/* The DHT on pin 7: one reading per ioctl, with the numbers and layout of
 * <linux/quorvel.h> (cc -I<tree>/include/uapi). */
#include <fcntl.h>
#include <linux/quorvel.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(void)
{
    struct privateData r = {.data = {7}}; /* the pin, for the co-processor */
    int fd = open("/dev/dht", O_RDWR);
    if (fd < 0 || ioctl(fd, DHT_IOCTL_CMD, &r) < 0) {
        perror("/dev/dht");
        return 1;
    }
    close(fd);
    /* humidity %, tenths, temperature C (bit 7: below zero), tenths */
    printf("humidity %u.%u %%, temperature %s%u.%u C\n", r.data[0], r.data[1], r.data[2] & 0x80 ? "-" : "",
           r.data[2] & 0x7f, r.data[3]);
    return 0;
}
