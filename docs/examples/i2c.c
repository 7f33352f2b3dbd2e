/* The LM75 at 0x48 on /dev/i2c-0: its temperature register, MSB first,
 * in halves of a degree in the top 9 bits. */
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(void)
{
    unsigned char reg = 0x00, t[2];
    struct i2c_msg msgs[2] = {
        {.addr = 0x48, .flags = 0, .len = 1, .buf = &reg},
        {.addr = 0x48, .flags = I2C_M_RD, .len = 2, .buf = t},
    };
    struct i2c_rdwr_ioctl_data xfer = {.msgs = msgs, .nmsgs = 2};
    int fd = open("/dev/i2c-0", O_RDWR);
    if (fd < 0 || ioctl(fd, I2C_RDWR, &xfer) < 0) {
        perror("/dev/i2c-0");
        return 1;
    }
    close(fd);
    printf("lm75: %.1f C\n", (signed char)t[0] + (t[1] >> 7) * 0.5);
    return 0;
}
