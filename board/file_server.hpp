#pragma once
// The board's files for programs in other processes: the other end of the
// preload library (preload/). Programs connect to a unix socket, one
// connection per thread; each call runs on a thread of the board that acts
// for the program's process (its copies reach that process's memory, and
// a signal to it ends a wait of a call whose program thread has gone).
// Every open file is served by one khost::Program, the board's table of
// files held by programs outside it.
#include <memory>
#include <string>
#include <vector>

namespace board {

class FileServer {
public:
    // Listens at `socket_path` (a stale socket there is replaced); throws
    // std::runtime_error when it cannot.
    explicit FileServer(std::string socket_path);
    ~FileServer(); // stop()
    FileServer(const FileServer &) = delete;
    FileServer &operator=(const FileServer &) = delete;

    const std::string &path() const;
    // Releases every file whose descriptors have all been closed (the
    // files of programs that have ended); returns the paths of the files
    // some process still holds.
    std::vector<std::string> settle();
    // Ends the service: cuts off every connection (a call under way ends
    // as on a signal), releases every file and joins every thread.
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// ${XDG_RUNTIME_DIR:-/tmp}/quorvel-files-<pid>.sock
std::string default_files_socket();

} // namespace board
