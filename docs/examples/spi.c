/* The SPI flash on /dev/spidev4.0: its JEDEC id (command 0x9f). */
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(void)
{
    unsigned char tx[4] = {0x9f}, rx[4];
    struct spi_ioc_transfer t = {
        .tx_buf = (unsigned long)tx,
        .rx_buf = (unsigned long)rx,
        .len = 4,
        .speed_hz = 1000000,
        .bits_per_word = 8,
    };
    unsigned char mode = SPI_MODE_0;
    int fd = open("/dev/spidev4.0", O_RDWR);
    if (fd < 0 || ioctl(fd, SPI_IOC_WR_MODE, &mode) < 0 || ioctl(fd, SPI_IOC_MESSAGE(1), &t) < 0) {
        perror("/dev/spidev4.0");
        return 1;
    }
    close(fd);
    printf("jedec id: %02x %02x %02x\n", rx[1], rx[2], rx[3]);
    return 0;
}
