#include "layer_control.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "qemu_vm.hpp"
#include "shell.hpp"
#include "vm_channel.hpp"

namespace board {

struct LayerControl::Impl {
    Board &board;
    std::string path;
    int listen_fd = -1;
    int stop_fd = -1;
    std::mutex run_lock; // one line of commands at a time
    std::mutex clients_lock;
    std::vector<int> client_fds;
    std::vector<std::thread> clients;
    std::thread acceptor;

    explicit Impl(Board &b) : board(b) {}
    void accept_loop();
    void serve(int fd);
};

namespace {

int status_of(Outcome o)
{
    switch (o) {
    case Outcome::Failed:
        return 1;
    case Outcome::Usage:
        return 2;
    default:
        return 0;
    }
}

} // namespace

void LayerControl::Impl::serve(int fd)
{
    vm::Channel channel(::dup(fd));
    char kind = 0;
    std::string text;
    while (channel.receive(&kind, &text) && kind == 'L') {
        vm::ChannelBuf out_buf(channel, 'O'), err_buf(channel, 'E');
        std::ostream out(&out_buf), err(&err_buf);
        Outcome outcome;
        {
            std::lock_guard hold(run_lock);
            Shell shell(board, out, err);
            shell.set_errexit(true);
            outcome = shell.run_text(text, true);
        }
        out.flush();
        err.flush();
        if (!channel.send('X', std::to_string(status_of(outcome))))
            break;
    }
}

void LayerControl::Impl::accept_loop()
{
    for (;;) {
        struct pollfd p[2] = {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR)
            return;
        if (p[1].revents)
            return;
        if (!(p[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard hold(clients_lock);
        client_fds.push_back(fd);
        clients.emplace_back([this, fd] { serve(fd); });
    }
}

LayerControl::LayerControl(Board &board, std::string path) : impl_(std::make_unique<Impl>(board))
{
    impl_->path = std::move(path);
    impl_->listen_fd = vm::listen_unix(impl_->path, 8);
    impl_->stop_fd = ::eventfd(0, EFD_CLOEXEC);
    impl_->acceptor = std::thread([this] { impl_->accept_loop(); });
}

LayerControl::~LayerControl()
{
    const uint64_t one = 1;
    (void)::write(impl_->stop_fd, &one, sizeof one);
    impl_->acceptor.join();
    ::close(impl_->listen_fd);
    ::unlink(impl_->path.c_str());
    // A client still attached is let go: its next read ends.
    for (int fd : impl_->client_fds)
        ::shutdown(fd, SHUT_RDWR);
    for (auto &t : impl_->clients)
        t.join();
    for (int fd : impl_->client_fds)
        ::close(fd);
    ::close(impl_->stop_fd);
}

const std::string &LayerControl::path() const { return impl_->path; }

} // namespace board
