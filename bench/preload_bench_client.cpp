// The program side of the preload benchmark: an ordinary program (run with
// the preload library) that makes one kind of call in runs, timing each.
// Reads "N" lines from stdin, answers each with the run's nanoseconds, or -1
// if a call failed.
//
//     quorvel_preload_bench_client gpio|smbus
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

bool gpio_once(int fd, int *level)
{
    *level ^= 1;
    const char text[2] = {static_cast<char>('0' + *level), '\n'};
    return write(fd, text, sizeof text) == 2;
}

bool smbus_once(int fd)
{
    union i2c_smbus_data data = {};
    struct i2c_smbus_ioctl_data args = {I2C_SMBUS_READ, 0x00, I2C_SMBUS_BYTE_DATA, &data};
    return ioctl(fd, I2C_SMBUS, &args) == 0 && data.byte == 0x19;
}

} // namespace

int main(int argc, char **argv)
{
    const bool gpio = argc > 1 && std::strcmp(argv[1], "gpio") == 0;
    const int fd = gpio ? open("/sys/class/gpio/gpio205/value", O_WRONLY) : open("/dev/i2c-0", O_RDWR);
    if (fd < 0 || (!gpio && ioctl(fd, I2C_SLAVE, 0x48) != 0)) {
        std::perror("quorvel_preload_bench_client");
        return 1;
    }
    int level = 0;
    long n;
    while (std::scanf("%ld", &n) == 1) {
        const auto start = std::chrono::steady_clock::now();
        bool good = true;
        for (long i = 0; i < n && good; i++)
            good = gpio ? gpio_once(fd, &level) : smbus_once(fd);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
        std::printf("%lld\n", good ? static_cast<long long>(ns.count()) : -1LL);
        std::fflush(stdout);
    }
    close(fd);
    return 0;
}
