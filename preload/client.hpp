#pragma once
// The preload library's side of the protocol: which descriptors are the
// board's, and the calls on them. Used by the interposed C library
// functions (preload.cpp, preload_dir.cpp).
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol.hpp"

namespace qpreload {

// The C library's own function, found behind ours.
void *next_symbol(const char *name);
#define QP_NEXT(name) reinterpret_cast<decltype(&::name)>(qpreload::next_symbol(#name))

// Whether the program runs on a board at all (the socket is named).
bool active();

// True in a child that still runs in its parent's memory (vfork): its
// closes and duplicates are its own descriptors', not the parent's table's.
bool shared_child();

// The board's file number behind descriptor fd, or -1.
int file_of(int fd);
// Records fd as the board's file `file` (after an open, a dup, an exec).
void track(int fd, int file, const Node &node);
void untrack(int fd);
// The Node recorded at open for fd.
Node node_of(int fd);
// True if no descriptor of this process is the board's `file` any more.
bool last_of(int file);

// A path the board may have: absolute under /dev or /sys.
bool board_path(const char *path);

struct Answer {
    Reply reply{};
    std::string extra; // bytes after the header
    int fd = -1;       // passed with the reply
};

// One call through this thread's connection; false if the board cannot be
// reached (then errno is ENXIO).
bool call(const Request &req, const void *extra, size_t extra_len, Answer *out, bool cloexec = false);
// A call on a file: the result (or -1 with errno set), tokens taken.
long file_call(int fd, Op op, uint64_t a, uint64_t b = 0, uint64_t c = 0);
// Takes the tokens the board says the file's descriptor no longer holds.
void take_tokens(int fd, int count);
// Readiness now for the board's descriptors among fds (before a poll).
void sync(const std::vector<int> &fds);

// Fills a stat from a Node.
void fill_stat(const Node &node, struct stat *st);

} // namespace qpreload
