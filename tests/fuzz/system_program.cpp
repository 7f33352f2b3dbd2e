#include "system_program.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace qfuzz {

namespace {

long result(long r) { return r < 0 ? -errno : r; }

char type_of(mode_t mode)
{
    if (S_ISDIR(mode))
        return 'd';
    if (S_ISCHR(mode))
        return 'c';
    if (S_ISREG(mode))
        return 'f';
    if (S_ISLNK(mode))
        return 'l';
    return 0;
}

} // namespace

SysProgram::~SysProgram()
{
    for (int fd : fds_)
        ::close(fd);
}

long SysProgram::open(const std::string &path, int flags)
{
    const long fd = result(::open(path.c_str(), (flags & (O_ACCMODE | O_NONBLOCK)) | O_NOCTTY | O_CLOEXEC));
    if (fd >= 0)
        fds_.insert(static_cast<int>(fd));
    return fd;
}

long SysProgram::read(int fd, void *buf, size_t count) { return result(::read(fd, buf, count)); }

long SysProgram::write(int fd, const void *buf, size_t count) { return result(::write(fd, buf, count)); }

long SysProgram::ioctl(int fd, unsigned int cmd, unsigned long arg) { return result(::ioctl(fd, cmd, arg)); }

long SysProgram::close(int fd)
{
    fds_.erase(fd);
    return result(::close(fd));
}

long SysProgram::poll(std::vector<khost::PollFd> &fds, int timeout_ms)
{
    std::vector<pollfd> p;
    for (const auto &f : fds)
        p.push_back({f.fd, f.events, 0});
    const long n = result(::poll(p.data(), p.size(), timeout_ms));
    for (size_t i = 0; i < fds.size(); i++)
        fds[i].revents = p[i].revents;
    return n;
}

long SysProgram::stat(const std::string &path, khost::DirEntry *out, bool follow) const
{
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
        return -errno;
    out->name = path.substr(path.rfind('/') + 1);
    out->type = type_of(st.st_mode);
    out->mode = st.st_mode & 07777;
    out->rdev = S_ISCHR(st.st_mode) ? static_cast<uint32_t>(st.st_rdev) : 0;
    out->target.clear();
    if (S_ISLNK(st.st_mode)) {
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        if (n > 0)
            out->target.assign(buf, static_cast<size_t>(n));
    }
    return 0;
}

long SysProgram::list(const std::string &path, std::vector<khost::DirEntry> *out) const
{
    DIR *dir = ::opendir(path.c_str());
    if (!dir)
        return -errno;
    out->clear();
    while (const dirent *d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        khost::DirEntry e;
        if (stat(path + "/" + name, &e, false) == 0 && e.type)
            out->push_back(std::move(e));
    }
    ::closedir(dir);
    return static_cast<long>(out->size());
}

} // namespace qfuzz
