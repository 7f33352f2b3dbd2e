#include "attach.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ostream>
#include <vector>

#include "vm_channel.hpp"

namespace board {

namespace {

std::string runtime_dir()
{
    const char *dir = std::getenv("XDG_RUNTIME_DIR");
    return dir && *dir ? dir : "/tmp";
}

constexpr std::string_view kPrefix = "quorvel-board-";
constexpr std::string_view kSuffix = ".sock";

int connect_unix(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    path.copy(addr.sun_path, path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::string control_socket_path()
{
    return runtime_dir() + "/" + std::string(kPrefix) + std::to_string(::getpid()) + std::string(kSuffix);
}

std::optional<std::string> find_board(const std::string &path, std::string *why)
{
    if (!path.empty())
        return path;
    if (const char *env = std::getenv("QUORVEL_BOARD"); env && *env)
        return std::string(env);
    // The sockets of boards whose process is still there.
    const std::string dir = runtime_dir();
    std::vector<std::string> found;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (const dirent *e = ::readdir(d)) {
            const std::string_view name = e->d_name;
            if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) ||
                !name.ends_with(kSuffix))
                continue;
            const std::string pid(name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size()));
            if (pid.find_first_not_of("0123456789") != std::string::npos)
                continue;
            if (::kill(std::atoi(pid.c_str()), 0) == 0 || errno == EPERM)
                found.push_back(dir + "/" + std::string(name));
        }
        ::closedir(d);
    }
    if (found.size() == 1)
        return found[0];
    *why = found.empty() ? "no board is running (none has a socket in " + dir + ")"
                         : "several boards are running; give one's socket: " + found[0] + ", " + found[1];
    return std::nullopt;
}

int attach_board(const std::string &path, const LineSource &lines, std::ostream &out, std::ostream &err)
{
    const int fd = connect_unix(path);
    if (fd < 0) {
        err << "quorvel-board: cannot reach the board at " << path << '\n';
        return 1;
    }
    vm::Channel board(fd);
    int status = 0;
    while (auto line = lines()) {
        if (!board.send('L', *line)) {
            err << "quorvel-board: the board has gone\n";
            return 1;
        }
        char kind = 0;
        std::string text;
        for (;;) {
            if (!board.receive(&kind, &text)) {
                out.flush();
                err << "quorvel-board: the board has gone\n";
                return 1;
            }
            if (kind == 'X')
                break;
            if (kind == 'O')
                out << text << '\n';
            else if (kind == 'o')
                out << text << std::flush;
            else if (kind == 'E')
                (out.flush(), err) << text << '\n';
        }
        status = std::atoi(text.c_str());
    }
    out.flush();
    return status;
}

} // namespace board
