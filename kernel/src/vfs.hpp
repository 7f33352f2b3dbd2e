#pragma once
// The board's /dev and /sys: an in-memory tree of directories, character
// device nodes, attribute files and symbolic links. Driver callbacks behind a
// node may be taken away at any moment (a device unbound, a module unloaded);
// a Gate lets the remover wait until the calls already inside have returned.
#include <linux/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kern::vfs {

// Entry to callbacks that can be withdrawn. A Pass keeps the gate's owner
// from finishing close() while it is held; once closed, enter() fails.
class Gate {
public:
    class Pass {
    public:
        Pass() = default;
        explicit Pass(Gate *gate) : gate_(gate) {}
        Pass(Pass &&other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
        Pass &operator=(Pass &&other) noexcept;
        Pass(const Pass &) = delete;
        Pass &operator=(const Pass &) = delete;
        ~Pass() { release(); }
        explicit operator bool() const { return gate_ != nullptr; }

    private:
        void release();
        Gate *gate_ = nullptr;
    };

    // An empty Pass once the gate is closed.
    [[nodiscard]] Pass enter();
    // Refuses new entries, then waits for those inside to leave. Passes the
    // calling thread holds itself are not waited for, so a callback may take
    // away its own node.
    void close();
    bool closed() const;

private:
    friend class Pass;
    void leave();

    mutable std::mutex lock_; // guards inside_ and closed_
    std::condition_variable left_;
    int inside_ = 0;
    bool closed_ = false;
};

// Callbacks of an attribute file. show fills `out` and returns its length or
// a negative errno; store gets the written bytes, NUL-terminated, and returns
// the count consumed or a negative errno. Either may be empty.
struct AttrOps {
    std::function<long(std::string &out)> show;
    std::function<long(const char *buf, size_t n)> store;
};

enum class NodeType { Dir, Chr, Attr, Link };

struct Node;

// What a path names, as found at lookup time.
struct Lookup {
    NodeType type = NodeType::Dir;
    unsigned mode = 0;
    dev_t devt = 0;
    bool has_show = false;
    bool has_store = false;
    std::string target;         // a link's, as written
    std::shared_ptr<Node> node; // keeps the node's record alive, not its place in the tree
};

struct Entry {
    std::string name;
    NodeType type;
    unsigned mode;
    dev_t devt;
    std::string target; // a link's, as written
};

// Paths are absolute ("/sys/class/x"); empty components and "." are skipped.
// The calls that make or take away nodes name them by their place in the
// tree and follow no link; lookup and list follow links as a path walk of
// the kernel does (relative targets from the link's directory, ".." after
// a link from where the link leads, at most 40 links: -ELOOP).
// Each returns 0 or a negative errno: -EINVAL for a path that is not
// absolute or names the root, -ENOTDIR when a component is not a directory,
// -EEXIST when the last one is already there.
int mkdir_p(const std::string &path); // an existing directory is no error
int mkdir(const std::string &path);   // parents made as needed; -EEXIST if the last is there
int add_attribute(const std::string &path, unsigned mode, AttrOps ops);
int add_chrdev_node(const std::string &path, dev_t devt, unsigned mode);
// A symbolic link at `path`. An absolute target is written relative to the
// link's directory, as sysfs writes its links ("../../devices/platform/x");
// a relative one is kept as given. The target need not exist.
int add_link(const std::string &path, const std::string &target);
// Takes away a file or link, or a directory with all below it; files still
// open on a removed attribute then fail with -ENODEV. A missing path is no
// error.
void remove(const std::string &path);
// Takes away an empty directory: -ENOTEMPTY if something is in it, -ENOTDIR
// if it is no directory, -ENOENT if it is not there.
int rmdir(const std::string &path);

// What `path` names; with `follow` false a link at its end is itself the
// answer (as lstat).
int lookup(const std::string &path, Lookup *out, bool follow = true);
bool exists(const std::string &path);
// The entries of a directory, sorted by name.
int list(const std::string &path, std::vector<Entry> *out);
// The target a link holds, as written.
int readlink(const std::string &path, std::string *out);
// The path of `target` as seen from the directory `from`, both absolute, as
// sysfs writes it: "../../devices/virtual/x" from "/sys/class/c" for
// "/sys/devices/virtual/x"; "../../../p" from "/sys/devices/p/c/x" for
// "/sys/devices/p" (up past the target, then down to it by name).
std::string relative_path(const std::string &from, const std::string &target);

// Calls into an attribute found by lookup(): -ENODEV once it was removed,
// -EIO when it has no such callback.
long attr_show(Node &node, std::string &out);
long attr_store(Node &node, const char *buf, size_t n);

} // namespace kern::vfs
