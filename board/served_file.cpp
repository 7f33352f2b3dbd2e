#include "served_file.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <khost/program.hpp>
#include <vector>

namespace board {

namespace {

uint64_t inode_of(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

} // namespace

ServedFile::ServedFile(khost::Program &program, int id, std::string path, int board_end, int program_end)
    : id(id), path(std::move(path)), inode(inode_of(program_end)), program_(program), board_end_(board_end),
      wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), pollable_(program.pollable(id))
{}

ServedFile::~ServedFile()
{
    release();
    ::close(board_end_);
    ::close(wake_fd_);
}

void ServedFile::start()
{
    std::lock_guard hold(join_lock_);
    watcher_ = std::thread([this] { watch(); });
}

void ServedFile::put_token()
{
    if (tokens_ == 0 && ::send(board_end_, "t", 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1)
        tokens_ = 1;
}

int ServedFile::after_call()
{
    std::vector<khost::PollFd> p{{id, POLLIN, 0}};
    const bool readable = !pollable_ || (program_.poll(p, 0) > 0 && (p[0].revents & POLLIN));
    std::lock_guard hold(lock_);
    if (released_)
        return 0;
    if (readable) {
        put_token();
        return 0;
    }
    const int drain = tokens_;
    tokens_ = 0;
    if (drain) {
        // The watcher waits for readiness again.
        const uint64_t one = 1;
        (void)::write(wake_fd_, &one, sizeof one);
    }
    return drain;
}

bool ServedFile::hung_up()
{
    struct pollfd p = {board_end_, POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR));
}

// The file's wait queues and the two host descriptors wake the watch: the
// file becoming readable gives the program its token; the program's end
// hung up releases the file; the wake-up is a change of tokens or the end.
void ServedFile::watch()
{
    while (!quit_) {
        short want;
        {
            std::lock_guard hold(lock_);
            want = tokens_ == 0 ? POLLIN : 0;
        }
        std::vector<khost::PollFd> p{{id, want, 0}};
        program_.poll(p, -1, {board_end_, wake_fd_});
        uint64_t count;
        (void)::read(wake_fd_, &count, sizeof count);
        if (quit_ || (p[0].revents & POLLNVAL))
            return;
        if (hung_up()) {
            close_once();
            return;
        }
        // Bytes the program wrote past the preload (a raw system call) mean nothing.
        char junk[256];
        while (::recv(board_end_, junk, sizeof junk, MSG_DONTWAIT) > 0) {}
        if (p[0].revents & POLLIN) {
            std::lock_guard hold(lock_);
            put_token();
        }
    }
}

bool ServedFile::close_once()
{
    std::lock_guard hold(lock_);
    if (released_)
        return false;
    released_ = true;
    // The driver's release runs now, or when a call still under way ends.
    program_.close(id);
    return true;
}

void ServedFile::release()
{
    quit_ = true;
    const uint64_t one = 1;
    (void)::write(wake_fd_, &one, sizeof one);
    {
        std::lock_guard hold(join_lock_);
        if (watcher_.joinable() && watcher_.get_id() != std::this_thread::get_id())
            watcher_.join();
    }
    close_once();
}

} // namespace board
