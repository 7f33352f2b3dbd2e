// The in-memory /dev and /sys tree. One lock guards the shape of the tree;
// callbacks of attributes run outside it, each inside its node's Gate.
#include "vfs.hpp"

#include <linux/errno.h>

#include <algorithm>
#include <deque>
#include <map>

namespace kern::vfs {

namespace {

// The gates the calling thread is inside of, one entry per pass, so that
// close() can tell the thread's own passes from those it must wait for.
thread_local std::vector<const Gate *> held_passes;

} // namespace

Gate::Pass &Gate::Pass::operator=(Pass &&other) noexcept
{
    if (this != &other) {
        release();
        gate_ = other.gate_;
        other.gate_ = nullptr;
    }
    return *this;
}

void Gate::Pass::release()
{
    if (gate_) {
        gate_->leave();
        gate_ = nullptr;
    }
}

Gate::Pass Gate::enter()
{
    std::lock_guard hold(lock_);
    if (closed_)
        return Pass();
    ++inside_;
    held_passes.push_back(this);
    return Pass(this);
}

void Gate::leave()
{
    auto mine = std::find(held_passes.rbegin(), held_passes.rend(), this);
    if (mine != held_passes.rend())
        held_passes.erase(std::next(mine).base());
    std::lock_guard hold(lock_);
    if (--inside_ == 0 || closed_)
        left_.notify_all();
}

void Gate::close()
{
    const auto own = std::count(held_passes.begin(), held_passes.end(), this);
    std::unique_lock hold(lock_);
    closed_ = true;
    left_.wait(hold, [&] { return inside_ <= own; });
}

bool Gate::closed() const
{
    std::lock_guard hold(lock_);
    return closed_;
}

struct Node {
    Node(NodeType t, unsigned m) : type(t), mode(m) {}

    const NodeType type;
    const unsigned mode;
    dev_t devt = 0;
    std::string target;                                    // Link only
    AttrOps ops;                                           // Attr only; never called once the gate is closed
    Gate gate;                                             // Attr only: calls of ops
    std::map<std::string, std::shared_ptr<Node>> children; // Dir only; guarded by tree_lock
};

namespace {

std::mutex tree_lock; // guards the tree's shape: every Node::children

std::shared_ptr<Node> make_root()
{
    auto root = std::make_shared<Node>(NodeType::Dir, 0755);
    for (const char *top : {"dev", "sys"})
        root->children[top] = std::make_shared<Node>(NodeType::Dir, 0755);
    return root;
}

// Built on first use, so that other files' start-up code may already add to it.
const std::shared_ptr<Node> &root()
{
    static const std::shared_ptr<Node> tree = make_root();
    return tree;
}

// Splits "/a/b/c" into {"a","b","c"}; false if the path is not absolute.
bool split(const std::string &path, std::vector<std::string> *parts)
{
    if (path.empty() || path[0] != '/')
        return false;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts->empty())
                parts->pop_back();
        } else if (!part.empty() && part != ".") {
            parts->push_back(std::move(part));
        }
        start = end + 1;
    }
    return true;
}

// Walks to the node named by parts[0..n). Caller holds tree_lock.
int walk(const std::vector<std::string> &parts, size_t n, std::shared_ptr<Node> *out)
{
    std::shared_ptr<Node> node = root();
    for (size_t i = 0; i < n; ++i) {
        if (node->type != NodeType::Dir)
            return -ENOTDIR;
        auto child = node->children.find(parts[i]);
        if (child == node->children.end())
            return -ENOENT;
        node = child->second;
    }
    *out = node;
    return 0;
}

constexpr int kMaxLinks = 40; // links followed in one walk, as the kernel's MAXSYMLINKS

// The components of a path in order, empty ones included ("a//b/" gives
// a, "", b, ""), so that a walk can tell "link/" from "link".
std::deque<std::string> components(const std::string &path)
{
    std::deque<std::string> out;
    size_t start = path.empty() || path[0] != '/' ? 0 : 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The node at an absolute path, following links: always those on the way,
// the last component's only with `follow` (or when a '/' comes after it).
// Caller holds tree_lock.
int find(const std::string &path, std::shared_ptr<Node> *out, bool follow = true)
{
    if (path.empty() || path[0] != '/')
        return -ENOENT;
    std::deque<std::string> todo = components(path);
    std::vector<std::shared_ptr<Node>> walked{root()};
    int links = 0;
    while (!todo.empty()) {
        std::string part = std::move(todo.front());
        todo.pop_front();
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (walked.size() > 1)
                walked.pop_back();
            continue;
        }
        const std::shared_ptr<Node> &dir = walked.back();
        if (dir->type != NodeType::Dir)
            return -ENOTDIR;
        auto child = dir->children.find(part);
        if (child == dir->children.end())
            return -ENOENT;
        const std::shared_ptr<Node> &node = child->second;
        if (node->type != NodeType::Link || (!follow && todo.empty())) {
            walked.push_back(node);
            continue;
        }
        if (++links > kMaxLinks)
            return -ELOOP;
        if (!node->target.empty() && node->target[0] == '/')
            walked.resize(1);
        std::deque<std::string> target = components(node->target);
        todo.insert(todo.begin(), target.begin(), target.end());
    }
    if (path.back() == '/' && walked.back()->type != NodeType::Dir)
        return -ENOTDIR;
    *out = walked.back();
    return 0;
}

// Finds or creates the directories parts[0..n). Caller holds tree_lock.
int make_dirs(const std::vector<std::string> &parts, size_t n, std::shared_ptr<Node> *out)
{
    std::shared_ptr<Node> node = root();
    for (size_t i = 0; i < n; ++i) {
        auto &slot = node->children[parts[i]];
        if (!slot)
            slot = std::make_shared<Node>(NodeType::Dir, 0755);
        else if (slot->type != NodeType::Dir)
            return -ENOTDIR;
        node = slot;
    }
    *out = node;
    return 0;
}

int add_leaf(const std::string &path, std::shared_ptr<Node> leaf)
{
    std::vector<std::string> parts;
    if (!split(path, &parts) || parts.empty())
        return -EINVAL;
    std::lock_guard hold(tree_lock);
    std::shared_ptr<Node> dir;
    if (int err = make_dirs(parts, parts.size() - 1, &dir))
        return err;
    auto [slot, added] = dir->children.try_emplace(parts.back(), std::move(leaf));
    return added ? 0 : -EEXIST;
}

void collect(const std::shared_ptr<Node> &node, std::vector<std::shared_ptr<Node>> *out)
{
    out->push_back(node);
    for (auto &[name, child] : node->children)
        collect(child, out);
}

} // namespace

int mkdir_p(const std::string &path)
{
    std::vector<std::string> parts;
    if (!split(path, &parts) || parts.empty())
        return -EINVAL;
    std::lock_guard hold(tree_lock);
    std::shared_ptr<Node> dir;
    return make_dirs(parts, parts.size(), &dir);
}

int mkdir(const std::string &path) { return add_leaf(path, std::make_shared<Node>(NodeType::Dir, 0755)); }

int add_attribute(const std::string &path, unsigned mode, AttrOps ops)
{
    auto leaf = std::make_shared<Node>(NodeType::Attr, mode & 07777);
    leaf->ops = std::move(ops);
    return add_leaf(path, std::move(leaf));
}

int add_chrdev_node(const std::string &path, dev_t devt, unsigned mode)
{
    auto leaf = std::make_shared<Node>(NodeType::Chr, mode & 07777);
    leaf->devt = devt;
    return add_leaf(path, std::move(leaf));
}

int add_link(const std::string &path, const std::string &target)
{
    if (target.empty())
        return -EINVAL;
    auto leaf = std::make_shared<Node>(NodeType::Link, 0777);
    if (target[0] == '/') {
        const size_t slash = path.rfind('/');
        leaf->target = relative_path(slash == std::string::npos ? "/" : path.substr(0, slash + 1), target);
    } else {
        leaf->target = target;
    }
    return add_leaf(path, std::move(leaf));
}

std::string relative_path(const std::string &from, const std::string &target)
{
    std::vector<std::string> here, there;
    split(from, &here);
    split(target, &there);
    // As kernfs: up to the nearest directory that holds the target (never
    // the target itself), then down to it by name.
    size_t common = 0;
    while (common < here.size() && common + 1 < there.size() && here[common] == there[common])
        ++common;
    std::string out;
    for (size_t i = common; i < here.size(); ++i)
        out += "../";
    for (size_t i = common; i < there.size(); ++i)
        out += there[i] + "/";
    if (out.empty())
        return ".";
    out.pop_back();
    return out;
}

void remove(const std::string &path)
{
    std::vector<std::string> parts;
    if (!split(path, &parts) || parts.empty())
        return;
    std::vector<std::shared_ptr<Node>> gone;
    {
        std::lock_guard hold(tree_lock);
        std::shared_ptr<Node> dir;
        if (walk(parts, parts.size() - 1, &dir) || dir->type != NodeType::Dir)
            return;
        auto it = dir->children.find(parts.back());
        if (it == dir->children.end())
            return;
        collect(it->second, &gone);
        dir->children.erase(it);
    }
    // Out of the tree now, so no new lookup finds them; wait out the calls
    // already inside. The callbacks themselves stay until the last open file
    // lets go of the node: a store that removes its own node is still
    // running one of them.
    for (auto &node : gone)
        if (node->type == NodeType::Attr)
            node->gate.close();
}

int rmdir(const std::string &path)
{
    std::vector<std::string> parts;
    if (!split(path, &parts) || parts.empty())
        return -EINVAL;
    std::lock_guard hold(tree_lock);
    std::shared_ptr<Node> dir;
    if (int err = walk(parts, parts.size() - 1, &dir))
        return err;
    if (dir->type != NodeType::Dir)
        return -ENOTDIR;
    auto it = dir->children.find(parts.back());
    if (it == dir->children.end())
        return -ENOENT;
    if (it->second->type != NodeType::Dir)
        return -ENOTDIR;
    if (!it->second->children.empty())
        return -ENOTEMPTY;
    dir->children.erase(it);
    return 0;
}

int lookup(const std::string &path, Lookup *out, bool follow)
{
    std::lock_guard hold(tree_lock);
    std::shared_ptr<Node> node;
    if (int err = find(path, &node, follow))
        return err;
    out->type = node->type;
    out->mode = node->mode;
    out->devt = node->devt;
    out->has_show = static_cast<bool>(node->ops.show);
    out->has_store = static_cast<bool>(node->ops.store);
    out->target = node->target;
    out->node = std::move(node);
    return 0;
}

bool exists(const std::string &path)
{
    Lookup found;
    return lookup(path, &found) == 0;
}

int list(const std::string &path, std::vector<Entry> *out)
{
    std::lock_guard hold(tree_lock);
    std::shared_ptr<Node> dir;
    if (int err = find(path, &dir))
        return err;
    if (dir->type != NodeType::Dir)
        return -ENOTDIR;
    out->clear();
    for (const auto &[name, child] : dir->children)
        out->push_back(Entry{name, child->type, child->mode, child->devt, child->target});
    return 0;
}

int readlink(const std::string &path, std::string *out)
{
    Lookup found;
    if (int err = lookup(path, &found, false))
        return err;
    if (found.type != NodeType::Link)
        return -EINVAL;
    *out = found.target;
    return 0;
}

long attr_show(Node &node, std::string &out)
{
    auto pass = node.gate.enter();
    if (!pass)
        return -ENODEV;
    if (!node.ops.show)
        return -EIO;
    return node.ops.show(out);
}

long attr_store(Node &node, const char *buf, size_t n)
{
    auto pass = node.gate.enter();
    if (!pass)
        return -ENODEV;
    if (!node.ops.store)
        return -EIO;
    return node.ops.store(buf, n);
}

} // namespace kern::vfs
