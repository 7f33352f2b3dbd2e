#pragma once
// Bytes written by the co-processor's side of a pseudo-terminal reach the
// reading side a little later (the host's tty layer pushes them through its
// own work queue). Tests that need them there first wait here rather than
// sleep a guessed time.
#include <chrono>
#include <string>

namespace qtest {

// True once at least `count` bytes wait to be read on the tty at `path`.
bool wait_for_input(const std::string &path, int count, std::chrono::milliseconds limit = std::chrono::seconds(5));

} // namespace qtest

namespace qtest {

// Another program's hold on the tty at `path`: an open file of its own with
// an exclusive flock, as serial programs take. -1 if the lock is taken.
int hold_line(const std::string &path);
void release_line(int fd);

} // namespace qtest
