// Compiled apart from the tests: the host's ioctl headers must not meet the
// kernel layer's asm/ headers on one include path.
#include "tty_input.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <thread>

namespace qtest {

bool wait_for_input(const std::string &path, int count, std::chrono::milliseconds limit)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    auto until = std::chrono::steady_clock::now() + limit;
    int queued = 0;
    while (::ioctl(fd, FIONREAD, &queued) == 0 && queued < count && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::close(fd);
    return queued >= count;
}

} // namespace qtest

namespace qtest {

int hold_line(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void release_line(int fd) { ::close(fd); }

} // namespace qtest
