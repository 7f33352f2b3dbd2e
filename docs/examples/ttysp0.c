/* ttySP0, the co-processor's serial port: 115200 8N1 raw, a line out, and
 * up to 5 s for what comes back. */
#include <fcntl.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

int main(void)
{
    struct termios tio;
    char buf[64];
    int fd = open("/dev/ttySP0", O_RDWR | O_NOCTTY);
    if (fd < 0 || tcgetattr(fd, &tio) < 0) {
        perror("/dev/ttySP0");
        return 1;
    }
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 50; /* tenths of a second */
    if (tcsetattr(fd, TCSANOW, &tio) < 0 || write(fd, "hello\n", 6) != 6)
        return 1;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    printf("got %zd bytes: %.*s\n", n, n > 0 ? (int)n : 0, buf);
    return n > 0 ? 0 : 1;
}
