/* One interface of the board, called as a program calls it, good arguments
 * and bad: every call's result and errno printed, a line each, so that the
 * same run on two kernels can be set side by side.
 *
 *     probe config|count|dht|sensors|gpio|pwm|iio|spidev|i2c|tty
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/quorvel.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <linux/spi/spidev.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

/* An address no program maps: a call given it must fail with EFAULT.
 * (Hidden from the compiler, which would refuse to pass it.) */
static void *bad(void)
{
    volatile unsigned long address = 16;
    return (void *)address;
}
#define BAD bad()

/* Room for the calls that ask for more than a device gives at once. */
static unsigned char big[9000];

static void show(const char *what, long result)
{
    if (result < 0)
        printf("%s = %ld %s\n", what, result, strerrorname_np(errno));
    else
        printf("%s = %ld\n", what, result);
    fflush(stdout);
}

static void bytes(const char *what, const unsigned char *p, size_t n)
{
    printf("%s:", what);
    for (size_t i = 0; i < n; i++)
        printf(" %02x", p[i]);
    printf("\n");
}

#define CALL(expr) show(#expr, (long)(expr))

static int open_shown(const char *path, int flags)
{
    const int fd = open(path, flags);
    printf("open %s = %s\n", path, fd < 0 ? strerrorname_np(errno) : "ok");
    return fd;
}

/* A sysfs attribute written as `echo` writes it, and read back. */
static void put(const char *path, const char *text)
{
    const int fd = open(path, O_WRONLY);
    if (fd < 0) {
        printf("put %s %s: open %s\n", path, text, strerrorname_np(errno));
        return;
    }
    const long r = write(fd, text, strlen(text));
    printf("put %s %s = %ld %s\n", path, text, r, r < 0 ? strerrorname_np(errno) : "");
    close(fd);
}

static void get(const char *path)
{
    char buf[64] = "";
    const int fd = open(path, O_RDONLY);
    if (fd < 0) {
        printf("get %s: open %s\n", path, strerrorname_np(errno));
        return;
    }
    const long r = read(fd, buf, sizeof buf - 1);
    if (r < 0)
        printf("get %s = %ld %s\n", path, r, strerrorname_np(errno));
    else
        printf("get %s = %s", path, r > 0 && buf[r - 1] == '\n' ? buf : strcat(buf, "\n"));
    close(fd);
}

static void config(void)
{
    struct quorvel_version v = {{0}};
    unsigned char buf[8];
    int fd = open_shown("/dev/quorvel_config", O_RDWR);
    CALL(ioctl(fd, CONFIG_IOCTL_VERSION, &v));
    bytes("version", v.data, 2);
    CALL(ioctl(fd, CONFIG_IOCTL_VERSION, BAD));
    CALL(ioctl(fd, 0x5299, &v));
    CALL(ioctl(fd, _IOR('R', 1, int), &v));
    CALL(read(fd, buf, sizeof buf));
    CALL(write(fd, "x", 1));
    CALL(lseek(fd, 0, SEEK_SET));
    CALL(close(fd));
}

static void count(void)
{
    unsigned char buf[16] = {0};
    int fd = open_shown("/dev/quorvel_count", O_RDWR);
    CALL(read(fd, buf, 0));
    CALL(read(fd, buf, 4));
    CALL(read(fd, buf, 16));
    CALL(read(fd, BAD, 4));
    CALL(write(fd, "\1\0\0\0", 4));
    CALL(write(fd, BAD, 4));
    CALL(ioctl(fd, 0x1234, 0));
    CALL(pread(fd, buf, 4, 0));
    CALL(close(fd));
}

static void dht(void)
{
    struct privateData d = {{7, 0, 0, 0}};
    unsigned char buf[8] = {0};
    int fd = open_shown("/dev/dht", O_RDWR);
    CALL(ioctl(fd, DHT_IOCTL_CMD, &d));
    bytes("reading", d.data, 4);
    CALL(ioctl(fd, DHT_IOCTL_CMD, BAD));
    CALL(ioctl(fd, _IOW('D', 3, long long), &d));
    CALL(ioctl(fd, DS18B20_READ_CMD, &d));
    CALL(ioctl(fd, 0x1234, &d));
    CALL(read(fd, buf, 4));
    bytes("again", buf, 4);
    CALL(read(fd, buf, 2));
    CALL(read(fd, buf, 8));
    CALL(read(fd, BAD, 4));
    CALL(write(fd, "abcd", 4));
    CALL(pread(fd, buf, 4, 0));
    CALL(lseek(fd, 0, SEEK_SET));
    CALL(close(fd));
}

/* The sensors the module always starts, and the motion sensor's registers. */
static void sensors(void)
{
    struct privateData d = {{0, 0, 0, 0}};
    struct irData ir = {{0x2f}};
    unsigned char buf[32] = {0};
    int fd = open_shown("/dev/icm20689", O_RDONLY);
    CALL(read(fd, buf, 12));
    CALL(read(fd, buf, 0));
    CALL(read(fd, buf, 32));
    CALL(ioctl(fd, 0x1234, 0));
    close(fd);
    fd = open_shown("/dev/sr04", O_RDWR);
    CALL(ioctl(fd, SR04_READ_CMD, &d));
    CALL(ioctl(fd, SR04_READ_CMD, BAD));
    close(fd);
    fd = open_shown("/dev/gp2y1010au", O_RDWR);
    memset(&d, 0, sizeof d);
    CALL(ioctl(fd, GP2Y_READ_CMD, &d));
    close(fd);
    fd = open_shown("/dev/ir_recv", O_RDWR);
    CALL(ioctl(fd, IR_RECV_CMD, &ir));
    CALL(ioctl(fd, IR_RECV_CMD, BAD));
    /* The receive handed back the reply's random tail: a fixed code to send. */
    memset(&ir, 0x11, sizeof ir);
    CALL(ioctl(fd, IR_SEND_CMD, &ir));
    close(fd);
    open_shown("/dev/ds18b20", O_RDWR);
}

static void gpio(void)
{
    put("/sys/class/gpio/export", "205");
    put("/sys/class/gpio/export", "205");
    put("/sys/class/gpio/export", "300");
    put("/sys/class/gpio/export", "five");
    put("/sys/class/gpio/export", "199");
    put("/sys/class/gpio/gpio205/direction", "sideways");
    put("/sys/class/gpio/gpio205/direction", "out");
    get("/sys/class/gpio/gpio205/direction");
    put("/sys/class/gpio/gpio205/value", "1");
    put("/sys/class/gpio/gpio205/value", "x");
    get("/sys/class/gpio/gpio205/value");
    put("/sys/class/gpio/gpio205/active_low", "1");
    get("/sys/class/gpio/gpio205/value");
    put("/sys/class/gpio/gpio205/active_low", "0");
    put("/sys/class/gpio/gpio205/edge", "rising");
    get("/sys/class/gpio/gpio205/edge");
    put("/sys/class/gpio/gpio205/direction", "high");
    get("/sys/class/gpio/gpio205/value");
    put("/sys/class/gpio/gpio205/direction", "low");
    get("/sys/class/gpio/gpio205/value");
    put("/sys/class/gpio/gpio205/direction", "in");
    put("/sys/class/gpio/gpio205/value", "1");
    put("/sys/class/gpio/gpio205/edge", "both");
    get("/sys/class/gpio/gpio205/edge");
    put("/sys/class/gpio/gpio205/edge", "none");
    get("/sys/class/gpio/gpiochip200/base");
    get("/sys/class/gpio/gpiochip200/ngpio");
    get("/sys/class/gpio/gpiochip200/label");
    int fd = open_shown("/sys/class/gpio/gpio205/value", O_RDWR);
    CALL(write(fd, BAD, 1));
    CALL(read(fd, BAD, 2));
    close(fd);
    put("/sys/class/gpio/export", "206");
    get("/sys/class/gpio/gpio206/direction");
    put("/sys/class/gpio/unexport", "206");
    put("/sys/class/gpio/unexport", "205");
    put("/sys/class/gpio/unexport", "205");
    put("/sys/class/gpio/unexport", "300");
    get("/sys/class/gpio/gpio205/value");
}

static void pwm(void)
{
    get("/sys/class/pwm/pwmchip0/npwm");
    put("/sys/class/pwm/pwmchip0/export", "32");
    put("/sys/class/pwm/pwmchip0/export", "x");
    put("/sys/class/pwm/pwmchip0/export", "1");
    put("/sys/class/pwm/pwmchip0/export", "1");
    get("/sys/class/pwm/pwmchip0/pwm1/period");
    put("/sys/class/pwm/pwmchip0/pwm1/duty_cycle", "500");
    put("/sys/class/pwm/pwmchip0/pwm1/period", "1000");
    put("/sys/class/pwm/pwmchip0/pwm1/duty_cycle", "500");
    put("/sys/class/pwm/pwmchip0/pwm1/duty_cycle", "2000");
    put("/sys/class/pwm/pwmchip0/pwm1/period", "100");
    put("/sys/class/pwm/pwmchip0/pwm1/polarity", "inversed");
    put("/sys/class/pwm/pwmchip0/pwm1/polarity", "upside");
    get("/sys/class/pwm/pwmchip0/pwm1/polarity");
    put("/sys/class/pwm/pwmchip0/pwm1/duty_cycle", "-1");
    put("/sys/class/pwm/pwmchip0/pwm1/period", "0");
    put("/sys/class/pwm/pwmchip0/pwm1/enable", "2");
    put("/sys/class/pwm/pwmchip0/pwm1/enable", "1");
    get("/sys/class/pwm/pwmchip0/pwm1/enable");
    put("/sys/class/pwm/pwmchip0/pwm1/polarity", "normal");
    put("/sys/class/pwm/pwmchip0/pwm1/enable", "0");
    int fd = open_shown("/sys/class/pwm/pwmchip0/pwm1/period", O_RDWR);
    CALL(write(fd, BAD, 3));
    close(fd);
    put("/sys/class/pwm/pwmchip0/unexport", "1");
    put("/sys/class/pwm/pwmchip0/unexport", "1");
    put("/sys/class/pwm/pwmchip0/unexport", "40");
}

static void iio(void)
{
    char buf[16];
    get("/sys/bus/iio/devices/iio:device1/name");
    get("/sys/bus/iio/devices/iio:device1/in_voltage0_raw");
    get("/sys/bus/iio/devices/iio:device3/in_voltage0_raw");
    get("/sys/bus/iio/devices/iio:device1/in_voltage1_raw");
    put("/sys/bus/iio/devices/iio:device1/in_voltage0_raw", "5");
    int fd = open_shown("/sys/bus/iio/devices/iio:device1/in_voltage0_raw", O_RDONLY);
    CALL(read(fd, BAD, 8));
    CALL(read(fd, buf, 0));
    close(fd);
}

static void spidev(void)
{
    unsigned char tx[4] = {1, 2, 3, 4}, rx[4] = {0}, u8 = 0;
    unsigned int u32 = 0;
    struct spi_ioc_transfer t;
    int fd = open_shown("/dev/spidev3.0", O_RDWR);
    CALL(ioctl(fd, SPI_IOC_RD_MODE, &u8));
    printf("mode %u\n", u8);
    u8 = 3;
    CALL(ioctl(fd, SPI_IOC_WR_MODE, &u8));
    u8 = 0xff;
    CALL(ioctl(fd, SPI_IOC_WR_MODE, &u8));
    CALL(ioctl(fd, SPI_IOC_RD_MODE, &u8));
    printf("mode %u\n", u8);
    u8 = 7;
    CALL(ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &u8));
    u8 = 8;
    CALL(ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &u8));
    CALL(ioctl(fd, SPI_IOC_RD_LSB_FIRST, &u8));
    printf("lsb %u\n", u8);
    u32 = 250000;
    CALL(ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &u32));
    CALL(ioctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, &u32));
    printf("speed %u\n", u32);
    CALL(ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, BAD));
    memset(&t, 0, sizeof t);
    t.tx_buf = (unsigned long)tx;
    t.rx_buf = (unsigned long)rx;
    t.len = 4;
    CALL(ioctl(fd, SPI_IOC_MESSAGE(1), &t));
    bytes("rx", rx, 4);
    CALL(ioctl(fd, SPI_IOC_MESSAGE(1), BAD));
    t.tx_buf = (unsigned long)BAD;
    CALL(ioctl(fd, SPI_IOC_MESSAGE(1), &t));
    t.tx_buf = (unsigned long)tx;
    t.len = 5000;
    CALL(ioctl(fd, SPI_IOC_MESSAGE(1), &t));
    CALL(ioctl(fd, _IOW(SPI_IOC_MAGIC, 0, char[7]), &t));
    CALL(ioctl(fd, _IOW(SPI_IOC_MAGIC, 9, __u8), &u8));
    CALL(ioctl(fd, 0x1234, 0));
    CALL(write(fd, tx, 4));
    CALL(read(fd, rx, 4));
    CALL(read(fd, big, 5000));
    CALL(write(fd, BAD, 4));
    CALL(pread(fd, rx, 4, 0));
    CALL(ioctl(fd, SPI_IOC_RD_MODE32, &u32));
    printf("mode32 %#x\n", u32);
    u32 = 0x10000;
    CALL(ioctl(fd, SPI_IOC_WR_MODE32, &u32));
    CALL(ioctl(fd, SPI_IOC_RD_BITS_PER_WORD, &u8));
    printf("bits %u\n", u8);
    unsigned int zero = 0;
    CALL(ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &zero));
    CALL(ioctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, &u32));
    printf("speed %u\n", u32);
    u8 = 1;
    CALL(ioctl(fd, SPI_IOC_WR_LSB_FIRST, &u8));
    u8 = SPI_CS_HIGH | SPI_MODE_1;
    CALL(ioctl(fd, SPI_IOC_WR_MODE, &u8));
    CALL(ioctl(fd, SPI_IOC_RD_MODE, &u8));
    printf("mode %#x\n", u8);
    u8 = 16;
    CALL(ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &u8));
    memset(&t, 0, sizeof t);
    t.tx_buf = (unsigned long)tx;
    t.rx_buf = (unsigned long)rx;
    t.len = 4;
    t.speed_hz = 100000;
    t.bits_per_word = 8;
    t.delay_usecs = 10;
    t.cs_change = 1;
    CALL(ioctl(fd, SPI_IOC_MESSAGE(1), &t));
    t.bits_per_word = 32;
    CALL(ioctl(fd, SPI_IOC_MESSAGE(1), &t));
    t.bits_per_word = 0;
    t.tx_buf = 0;
    CALL(ioctl(fd, SPI_IOC_MESSAGE(1), &t));
    CALL(close(fd));
}

static void i2c(void)
{
    union i2c_smbus_data data;
    struct i2c_smbus_ioctl_data args = {I2C_SMBUS_READ, 0x00, I2C_SMBUS_WORD_DATA, &data};
    unsigned char reg = 0, two[2] = {0};
    struct i2c_msg msgs[2] = {{0x48, 0, 1, &reg}, {0x48, I2C_M_RD, 2, two}};
    struct i2c_rdwr_ioctl_data rdwr = {msgs, 2};
    unsigned long funcs = 0;
    int fd = open_shown("/dev/i2c-0", O_RDWR);
    CALL(ioctl(fd, I2C_FUNCS, &funcs));
    printf("funcs %#lx\n", funcs);
    CALL(ioctl(fd, I2C_FUNCS, BAD));
    CALL(ioctl(fd, I2C_SLAVE, 0x80));
    CALL(read(fd, two, 2));
    CALL(ioctl(fd, I2C_SLAVE, 0x48));
    CALL(ioctl(fd, I2C_SMBUS, &args));
    printf("word %#x\n", data.word);
    CALL(ioctl(fd, I2C_SMBUS, BAD));
    args.data = BAD;
    CALL(ioctl(fd, I2C_SMBUS, &args));
    args.data = &data;
    args.size = 99;
    CALL(ioctl(fd, I2C_SMBUS, &args));
    args.size = I2C_SMBUS_WORD_DATA;
    args.read_write = 7;
    CALL(ioctl(fd, I2C_SMBUS, &args));
    CALL(ioctl(fd, I2C_RDWR, &rdwr));
    bytes("rdwr", two, 2);
    CALL(ioctl(fd, I2C_RDWR, BAD));
    rdwr.nmsgs = 0;
    CALL(ioctl(fd, I2C_RDWR, &rdwr));
    rdwr.nmsgs = 43;
    CALL(ioctl(fd, I2C_RDWR, &rdwr));
    rdwr.nmsgs = 2;
    msgs[1].buf = BAD;
    CALL(ioctl(fd, I2C_RDWR, &rdwr));
    msgs[1].buf = two;
    msgs[1].len = 9000;
    CALL(ioctl(fd, I2C_RDWR, &rdwr));
    msgs[1].len = 2;
    CALL(write(fd, &reg, 1));
    CALL(read(fd, two, 2));
    bytes("read", two, 2);
    CALL(read(fd, BAD, 2));
    CALL(read(fd, big, 9000));
    CALL(ioctl(fd, I2C_SLAVE, 0x49));
    CALL(read(fd, two, 2));
    CALL(ioctl(fd, I2C_TENBIT, 1));
    CALL(ioctl(fd, I2C_PEC, 1));
    CALL(ioctl(fd, I2C_RETRIES, 2));
    CALL(ioctl(fd, I2C_TIMEOUT, 10));
    CALL(ioctl(fd, 0x1234, 0));
    CALL(ioctl(fd, I2C_SLAVE_FORCE, 0x48));
    CALL(ioctl(fd, FIONBIO, &funcs));
    CALL(ioctl(fd, I2C_SLAVE, 0x3ff));
    CALL(ioctl(fd, I2C_SLAVE, 0x400));
    CALL(ioctl(fd, I2C_TENBIT, 0));
    CALL(ioctl(fd, I2C_PEC, 0));
    CALL(ioctl(fd, I2C_SLAVE, 0x3ff));
    CALL(ioctl(fd, I2C_SLAVE, 0x50));
    CALL(read(fd, two, 0));
    CALL(write(fd, two, 0));
    msgs[0] = (struct i2c_msg){0x50, I2C_M_TEN, 1, &reg};
    rdwr.nmsgs = 1;
    CALL(ioctl(fd, I2C_RDWR, &rdwr));
    msgs[0] = (struct i2c_msg){0x50, I2C_M_RD | I2C_M_RECV_LEN, 2, two};
    CALL(ioctl(fd, I2C_RDWR, &rdwr));
    msgs[0] = (struct i2c_msg){0x50, I2C_M_RD, 0, two};
    CALL(ioctl(fd, I2C_RDWR, &rdwr));
    CALL(pread(fd, two, 2, 0));
    args = (struct i2c_smbus_ioctl_data){I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, NULL};
    CALL(ioctl(fd, I2C_SMBUS, &args));
    args = (struct i2c_smbus_ioctl_data){I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &data};
    CALL(ioctl(fd, I2C_SMBUS, &args));
    args = (struct i2c_smbus_ioctl_data){I2C_SMBUS_READ, 0, I2C_SMBUS_BLOCK_DATA, &data};
    CALL(ioctl(fd, I2C_SMBUS, &args));
    args = (struct i2c_smbus_ioctl_data){I2C_SMBUS_WRITE, 0, I2C_SMBUS_PROC_CALL, &data};
    CALL(ioctl(fd, I2C_SMBUS, &args));
    CALL(close(fd));
    open_shown("/dev/i2c-5", O_RDWR);
}

static void tty(void)
{
    struct termios t;
    struct termios2 t2;
    struct serial_struct ss;
    int n = 0;
    char buf[8];
    struct pollfd p;
    int fd = open_shown("/dev/ttySP0", O_RDWR | O_NOCTTY | O_NONBLOCK);
    CALL(ioctl(fd, TCGETS, &t));
    printf("cflag %#o iflag %#o oflag %#o lflag %#o\n", t.c_cflag, t.c_iflag, t.c_oflag, t.c_lflag);
    CALL(ioctl(fd, TCGETS, BAD));
    CALL(ioctl(fd, TCSETS, BAD));
    t.c_cflag = (t.c_cflag & ~CBAUD) | B9600;
    CALL(ioctl(fd, TCSETS, &t));
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
    CALL(ioctl(fd, TCSETSW, &t));
    CALL(ioctl(fd, TCGETS, &t));
    printf("cflag %#o\n", t.c_cflag);
    CALL(ioctl(fd, TCGETS2, &t2));
    printf("ispeed %u ospeed %u\n", t2.c_ispeed, t2.c_ospeed);
    t2.c_cflag = (t2.c_cflag & ~CBAUD) | BOTHER;
    t2.c_ospeed = t2.c_ispeed = 19200;
    CALL(ioctl(fd, TCSETS2, &t2));
    CALL(ioctl(fd, TCGETS2, &t2));
    printf("cflag %#o ispeed %u ospeed %u\n", t2.c_cflag, t2.c_ispeed, t2.c_ospeed);
    t2.c_ospeed = t2.c_ispeed = 12345;
    CALL(ioctl(fd, TCSETS2, &t2));
    CALL(ioctl(fd, TCGETS2, &t2));
    printf("cflag %#o ispeed %u ospeed %u\n", t2.c_cflag, t2.c_ispeed, t2.c_ospeed);
    CALL(ioctl(fd, FIONREAD, &n));
    printf("queued %d\n", n);
    CALL(ioctl(fd, TIOCOUTQ, &n));
    CALL(ioctl(fd, TIOCMGET, &n));
    CALL(ioctl(fd, TIOCGSERIAL, &ss));
    struct winsize ws = {24, 80, 0, 0};
    CALL(ioctl(fd, TIOCSWINSZ, &ws));
    CALL(ioctl(fd, TIOCGWINSZ, &ws));
    printf("winsize %u %u\n", ws.ws_row, ws.ws_col);
    CALL(ioctl(fd, TIOCGETD, &n));
    printf("ldisc %d\n", n);
    n = 99;
    CALL(ioctl(fd, TIOCSETD, &n));
    CALL(ioctl(fd, TCXONC, TCOOFF));
    CALL(ioctl(fd, TCXONC, TCOON));
    CALL(ioctl(fd, TCXONC, 9));
    n = 0;
    CALL(ioctl(fd, FIONBIO, &n));
    n = 1;
    CALL(ioctl(fd, FIONBIO, &n));
    CALL(fcntl(fd, F_GETFL) & O_NONBLOCK);
    CALL(ioctl(fd, FIOCLEX, 0));
    CALL(fcntl(fd, F_GETFD));
    CALL(ioctl(fd, FIONCLEX, 0));
    CALL(ioctl(fd, TIOCSTI, "z"));
    CALL(read(fd, buf, sizeof buf));
    struct termio legacy;
    CALL(ioctl(fd, TCGETA, &legacy));
    printf("termio cflag %#o\n", legacy.c_cflag);
    CALL(ioctl(fd, TCSETA, &legacy));
    CALL(ioctl(fd, TCXONC, TCIOFF));
    CALL(ioctl(fd, TCXONC, TCION));
    CALL(ioctl(fd, TCSBRK, 0));
    CALL(ioctl(fd, TCSBRKP, 0));
    CALL(write(fd, buf, 0));
    CALL(read(fd, buf, 0));
    CALL(ioctl(fd, TIOCSBRK, 0));
    CALL(ioctl(fd, TIOCCBRK, 0));
    CALL(ioctl(fd, TIOCGPGRP, &n));
    CALL(ioctl(fd, TIOCOUTQ, BAD));
    CALL(ioctl(fd, TIOCEXCL, 0));
    CALL(ioctl(fd, TIOCNXCL, 0));
    CALL(ioctl(fd, 0x54ff, 0));
    CALL(ioctl(fd, FIONREAD, BAD));
    CALL(write(fd, "ok", 2));
    CALL(ioctl(fd, TCSBRK, 1));
    CALL(read(fd, buf, sizeof buf));
    CALL(pread(fd, buf, 1, 0));
    CALL(write(fd, BAD, 2));
    p = (struct pollfd){fd, POLLIN | POLLOUT, 0};
    CALL(poll(&p, 1, 0));
    printf("revents %#x\n", p.revents);
    CALL(ioctl(fd, TCFLSH, TCIOFLUSH));
    CALL(ioctl(fd, TCFLSH, 7));
    CALL(close(fd));
}

int main(int argc, char **argv)
{
    static const struct {
        const char *name;
        void (*run)(void);
    } probes[] = {{"config", config}, {"count", count},   {"dht", dht}, {"sensors", sensors}, {"gpio", gpio}, {"pwm", pwm},
                  {"iio", iio},       {"spidev", spidev}, {"i2c", i2c}, {"tty", tty}};
    for (size_t i = 0; argc > 1 && i < sizeof probes / sizeof probes[0]; i++)
        if (strcmp(argv[1], probes[i].name) == 0) {
            probes[i].run();
            return 0;
        }
    fprintf(stderr, "usage: probe config|count|dht|sensors|gpio|pwm|iio|spidev|i2c|tty\n");
    return 2;
}
