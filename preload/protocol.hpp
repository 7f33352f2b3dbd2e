#pragma once
// What a program's preload library and the board that serves its files say
// to each other, over a SOCK_SEQPACKET unix socket: one request, one reply,
// each a fixed header and perhaps bytes after it. Each thread of a program
// has a connection of its own, so a call that waits holds up no other.
//
// A file the program opened on the board is one end of a socket pair that
// the board hands over with the open's reply (SCM_RIGHTS). It is a real
// descriptor: the board writes a byte to its own end while the file would
// be readable (a "token"), so poll, select and epoll see it; fork and exec
// carry it as any descriptor; when every copy of it is closed the board
// sees its end hung up and releases the file. The program's calls on it
// come through the connection, by the file's number on the board; their
// pointers are the program's own, which the board reads and writes with
// process_vm_readv/writev.
#include <cstdint>

namespace qpreload {

// The environment variable naming the board's socket.
inline constexpr const char *kSocketEnv = "QUORVEL_BOARD_FILES";

enum class Op : uint32_t {
    Open = 1, // path after the header; a: flags; file: a directory's file for a relative path, or -1
    Read,     // a: buffer, b: count
    Write,    // a: buffer, b: count
    Pread,    // a: buffer, b: count, c: position
    Pwrite,   // a: buffer, b: count, c: position
    Ioctl,    // a: request, b: argument
    Lseek,    // a: offset, b: whence
    GetFl,
    SetFl,  // a: flags
    Stat,   // path after the header; a: 1 to follow a final link
    List,   // a directory's entries: path after the header, or file
    Closed, // the program closed its last descriptor of the file
    Sync,   // readiness now: file numbers (int32) after the header
    Which,  // after an exec: socket inodes (uint64) after the header
};

struct Request {
    Op op;
    int32_t file;
    uint64_t a, b, c;
};

// What a path or file is, as stat needs it.
struct Node {
    char type; // 'c' character device, 'f' attribute, 'd' directory, 'l' link, 0 none
    uint8_t pad[3];
    uint32_t mode; // permission bits
    uint32_t rdev; // the device number, the kernel's MKDEV(major, minor)
    uint32_t pad2;
};

struct Reply {
    int64_t result; // >= 0, or a negative errno
    // Tokens the program is to take from the file's descriptor before the
    // call returns: the file stopped being readable.
    int32_t drain;
    // Open and Stat: the result is not the board's (a path it does not
    // have), so the C library is to handle it.
    int32_t not_board;
    Node node; // Open, Stat
};

// After a Stat reply's header: a link's target.
// After a List reply's header: per entry, its Node then its name and a NUL.
// After a Which reply's header: per inode, an int32 file number (-1: not
// the board's) and the file's Node. After a Sync reply's header: an int32
// count of tokens to take per file asked about.

inline constexpr uint32_t kMaxMessage = 64 * 1024;

} // namespace qpreload
