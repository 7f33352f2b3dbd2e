// The board on --uart with quorvel-coproc as its own program: coproc
// forwarded to it, a second board refused, a peer that goes away said so,
// and the line reopened when a new co-processor takes the same --link.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <khost/kernel.hpp>
#include <mutex>
#include <sstream>
#include <thread>

#include "session.hpp"
#include "shell.hpp"

using namespace board;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

// quorvel-coproc on a pipe: it prints its pty, takes commands from the pipe
// and ends when the pipe closes (or when killed).
class CoprocProgram {
public:
    explicit CoprocProgram(const std::string &link)
    {
        int in[2], out[2];
        EXPECT_EQ(::pipe(in), 0);
        EXPECT_EQ(::pipe(out), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::close(in[1]);
            ::close(out[0]);
            ::execl(QUORVEL_COPROC_BIN, QUORVEL_COPROC_BIN, "--link", link.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = ::fdopen(out[0], "r");
        char line[256] = {};
        if (std::fgets(line, sizeof line, from_))
            tty_ = std::string(line, std::strcspn(line, "\n"));
    }
    ~CoprocProgram() { kill(SIGTERM); }
    void kill(int sig)
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, sig);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
        ::close(to_);
        std::fclose(from_);
    }
    const std::string &tty() const { return tty_; }

private:
    pid_t pid_ = -1;
    int to_ = -1;
    FILE *from_ = nullptr;
    std::string tty_;
};

// The watch's notices, taken on its thread.
struct Notices {
    std::mutex lock;
    std::string text;

    void add(const std::string &line)
    {
        std::lock_guard hold(lock);
        text += line;
    }
    // Waits for `needle` (generously: the watch looks every 200 ms).
    bool wait_for(const std::string &needle)
    {
        for (int i = 0; i < 600; ++i) {
            {
                std::lock_guard hold(lock);
                if (text.find(needle) != std::string::npos)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

std::string run_board_on(const std::string &line)
{
    const std::string cmd = std::string(QUORVEL_BOARD_BIN) + " --uart " + line + " -c lsmod </dev/null 2>&1";
    FILE *p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int st = ::pclose(p);
    return fmt::format("status {}: {}", WIFEXITED(st) ? WEXITSTATUS(st) : -1, out);
}

} // namespace

TEST(UartPeer, CoprocForwardedOneBoardPerLineAndALineThatComesBack)
{
    ASSERT_TRUE(fs::exists(khost::module_path())) << "module not built: " << khost::module_path();
    const fs::path dir = fs::temp_directory_path() / ("quorvel-peer-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string link = (dir / "line").string();
    auto first = std::make_unique<CoprocProgram>(link);
    ASSERT_FALSE(first->tty().empty());
    ASSERT_EQ(fs::read_symlink(link).string(), first->tty());

    Notices notices;
    SessionOptions options;
    options.uart = link;
    options.hz = 1000;
    options.notice = [&](const std::string &line) { notices.add(line); };
    Session session(options);
    std::ostringstream out, err;
    Shell shell(session.board(), out, err);

    // coproc reaches the co-processor program, and what it set is what the
    // module reads.
    ASSERT_EQ(shell.run_text("coproc i2c eeprom 0x20 48 65 6c; open /dev/quorvel_config; "
                             "ioctl 3 CONFIG_IOCTL_VERSION 00 00",
                             true),
              Outcome::Ok)
        << err.str();
    EXPECT_THAT(out.str(), HasSubstr("20: 48 65 6c"));
    EXPECT_THAT(out.str(), HasSubstr("\n0 01 07\n"));

    // A second board on the same line is told it is taken.
    EXPECT_THAT(run_board_on(link), HasSubstr("in use by another program"));
    EXPECT_THAT(run_board_on(link), HasSubstr("status 1"));

    // The co-processor goes away: said once, in the board's words.
    first->kill(SIGKILL);
    out.str("");
    shell.run_text("ioctl 3 CONFIG_IOCTL_VERSION 00 00", true);
    EXPECT_THAT(out.str(), ::testing::StartsWith("-")) << "no made-up answer";
    EXPECT_TRUE(notices.wait_for("board: the co-processor on " + link + " does not answer")) << notices.text;

    // A new one on the same link: the line is reopened and answers again.
    CoprocProgram second(link);
    ASSERT_FALSE(second.tty().empty());
    EXPECT_TRUE(notices.wait_for("is back; the line is reopened")) << notices.text;
    out.str("");
    EXPECT_EQ(shell.run_text("ioctl 3 CONFIG_IOCTL_VERSION 00 00", true), Outcome::Ok) << out.str();
    EXPECT_EQ(out.str(), "0 01 07\n");
    EXPECT_TRUE(notices.wait_for("answers again")) << notices.text;

    EXPECT_TRUE(session.leave(err)) << err.str();
    second.kill(SIGTERM);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link goes with its co-processor";
    fs::remove_all(dir);
}
