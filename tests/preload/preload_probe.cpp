// A program that knows nothing of the board: it makes ordinary system calls
// on the board's paths and prints each result ("name result errno"), for
// the preload tests to run with the preload library in place.
//
//     preload_probe SCENARIO [ARG]
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

constexpr unsigned long kVersion = 0x5201; // CONFIG_IOCTL_VERSION

void say(const char *what, long r)
{
    std::printf("%s %ld %d\n", what, r, r < 0 ? errno : 0);
    std::fflush(stdout);
}

void *bad_pointer()
{
    static void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page;
}

long version(int fd)
{
    unsigned char v[2] = {0, 0};
    return ioctl(fd, kVersion, v);
}

int bad_pointers()
{
    int fd = open("/dev/quorvel_config", O_RDWR);
    say("open", fd);
    say("ioctl_bad", ioctl(fd, kVersion, bad_pointer()));
    int i2c = open("/dev/i2c-0", O_RDWR);
    say("open_i2c", i2c);
    // I2C_RDWR whose messages are nowhere, and whose buffer is nowhere.
    struct i2c_rdwr_ioctl_data bad_msgs = {static_cast<struct i2c_msg *>(bad_pointer()), 1};
    say("rdwr_bad_msgs", ioctl(i2c, I2C_RDWR, &bad_msgs));
    struct i2c_msg msg = {0x48, I2C_M_RD, 2, static_cast<__u8 *>(bad_pointer())};
    struct i2c_rdwr_ioctl_data bad_buf = {&msg, 1};
    say("rdwr_bad_buf", ioctl(i2c, I2C_RDWR, &bad_buf));
    say("slave", ioctl(i2c, I2C_SLAVE, 0x48));
    say("read_bad", read(i2c, bad_pointer(), 2));
    say("write_bad", write(i2c, bad_pointer(), 2));
    say("version", version(fd));
    return 0;
}

// A read that waits for the serial port's input, until the program is killed.
int block()
{
    int fd = open("/dev/ttySP0", O_RDWR | O_NOCTTY);
    say("open", fd);
    char buf[16];
    return read(fd, buf, sizeof buf) < 0;
}

// Input arriving on ttySP0 as poll, select and epoll see it.
int readiness()
{
    int fd = open("/dev/ttySP0", O_RDWR | O_NOCTTY | O_NONBLOCK);
    say("open", fd);
    struct pollfd p = {fd, POLLIN, 0};
    say("poll_empty", poll(&p, 1, 0));
    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    say("epoll_ctl", epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev));
    say("ready", 0);
    say("poll", poll(&p, 1, 20000));
    say("revents", p.revents & POLLIN);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    struct timeval tv = {0, 0};
    say("select", select(fd + 1, &set, nullptr, nullptr, &tv));
    struct epoll_event out;
    say("epoll", epoll_wait(ep, &out, 1, 0));
    char buf[64] = {};
    long n = read(fd, buf, sizeof buf - 1);
    say("read", n);
    std::printf("bytes %s\n", buf);
    say("poll_after", poll(&p, 1, 0));
    say("epoll_after", epoll_wait(ep, &out, 1, 0));
    FD_ZERO(&set);
    FD_SET(fd, &set);
    say("select_after", select(fd + 1, &set, nullptr, nullptr, &tv));
    say("read_again", read(fd, buf, sizeof buf));
    return 0;
}

// A child made by fork shares the file; exec keeps what has no O_CLOEXEC.
int fork_exec(const char *self)
{
    int keep = open("/dev/quorvel_config", O_RDWR);
    int shut = open("/dev/quorvel_config", O_RDWR | O_CLOEXEC);
    say("open", keep);
    pid_t child = fork();
    if (child == 0) {
        say("child_version", version(keep));
        std::_Exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    say("parent_version", version(keep));
    char a[16], b[16];
    std::snprintf(a, sizeof a, "%d", keep);
    std::snprintf(b, sizeof b, "%d", shut);
    execl(self, self, "after_exec", a, b, static_cast<char *>(nullptr));
    return 1;
}

// A child that shares the parent's memory until it execs (vfork, as
// Python's subprocess and posix_spawn start programs) and closes its copies
// of the descriptors first: the parent's stay the board's.
int vfork_close()
{
    int fd = open("/dev/quorvel_config", O_RDWR);
    say("open", fd);
    const pid_t child = vfork();
    if (child == 0) {
        dup2(fd, 20);
        close_range(3, ~0U, 0);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    say("parent_version", version(fd));
    say("parent_close", close(fd));
    return 0;
}

int after_exec(int keep, int shut)
{
    say("kept_version", version(keep));
    say("shut_version", version(shut));
    struct stat st {};
    say("kept_fstat", fstat(keep, &st));
    say("kept_chr", S_ISCHR(st.st_mode));
    return 0;
}

// Several threads, each with its own calls on one file and opens of its own.
int threads(int n)
{
    int fd = open("/dev/quorvel_config", O_RDWR);
    std::atomic<int> good{0};
    std::vector<pthread_t> ts(static_cast<size_t>(n));
    struct Arg {
        int fd;
        std::atomic<int> *good;
    } arg{fd, &good};
    for (auto &t : ts)
        pthread_create(
            &t, nullptr,
            [](void *p) -> void * {
                auto *a = static_cast<Arg *>(p);
                for (int i = 0; i < 5; i++) {
                    int own = open("/dev/quorvel_config", O_RDWR);
                    long shared = version(a->fd), mine = own < 0 ? -1 : version(own);
                    if (shared == 0 && mine == 0)
                        ++*a->good;
                    else
                        std::fprintf(stderr, "preload_probe: open %d, versions %ld %ld, errno %d\n", own, shared, mine,
                                     errno);
                    close(own);
                }
                return nullptr;
            },
            &arg);
    for (auto &t : ts)
        pthread_join(t, nullptr);
    say("good", good.load());
    return 0;
}

// What stat, access, readdir, readlink and stdio see of the board's paths.
int paths()
{
    struct stat st {};
    say("stat", stat("/dev/quorvel_config", &st));
    say("chr", S_ISCHR(st.st_mode));
    say("stat_missing", stat("/dev/quorvel_nothing", &st));
    say("access_rw", access("/dev/quorvel_config", R_OK | W_OK));
    DIR *d = opendir("/sys/class/config_class");
    say("opendir", d ? 0 : -1);
    while (d)
        if (struct dirent *e = readdir(d)) {
            if (e->d_name[0] != '.')
                std::printf("entry %s\n", e->d_name);
        } else {
            closedir(d);
            d = nullptr;
        }
    // /dev: the host's nodes and the board's.
    if (DIR *dev = opendir("/dev")) {
        bool host = false, board = false;
        while (struct dirent *e = readdir(dev)) {
            host = host || std::strcmp(e->d_name, "null") == 0;
            board = board || std::strcmp(e->d_name, "quorvel_config") == 0;
        }
        closedir(dev);
        say("dev_both", host && board);
    }
    char target[256] = {};
    say("readlink", readlink("/sys/class/config_class/quorvel_config", target, sizeof target - 1));
    std::printf("target %s\n", target);
    FILE *f = fopen("/sys/module/quorvel_linux_module/parameters/dev_uart", "r");
    char line[32] = {};
    say("fopen", f ? 0 : -1);
    if (f && std::fgets(line, sizeof line, f))
        std::printf("param %s", line);
    if (f)
        std::fclose(f);
    say("host_file", access("/proc/self/status", R_OK));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "version") {
        int fd = open("/dev/quorvel_config", O_RDWR);
        say("open", fd);
        say("version", version(fd));
        return 0;
    }
    if (what == "no_close") {
        say("open", open("/dev/quorvel_config", O_RDWR));
        say("open_tty", open("/dev/ttySP0", O_RDWR | O_NOCTTY));
        return 0; // the files go with the process
    }
    if (what == "bad_pointers")
        return bad_pointers();
    if (what == "block")
        return block();
    if (what == "readiness")
        return readiness();
    if (what == "fork_exec")
        return fork_exec(argv[0]);
    if (what == "vfork_close")
        return vfork_close();
    if (what == "after_exec" && argc == 4)
        return after_exec(std::atoi(argv[2]), std::atoi(argv[3]));
    if (what == "threads")
        return threads(argc > 2 ? std::atoi(argv[2]) : 4);
    if (what == "paths")
        return paths();
    std::fprintf(stderr, "preload_probe: unknown scenario %s\n", what.c_str());
    return 2;
}
