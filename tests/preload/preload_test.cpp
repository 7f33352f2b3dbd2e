// Unmodified programs on the board through the preload library: a probe
// program and Debian's python3 clients, each a process of its own, served
// by a FileServer in the test's board. What they see (results, errnos,
// readiness, bytes) and what reaches the co-processor; that a bad pointer,
// a program that exits without closing, or one killed in a waiting call
// leaves the board serving and the module free to unload; fork, exec,
// threads and several programs at once.
#include "../support/board.hpp" // the booted board, not the shell's Board interface
#include "file_server.hpp"
#include "protocol.hpp"
#include "run_layer.hpp"

#include <coproc/models/uart.hpp>
#include <khost/sleeps.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

namespace {

// A program started with the preload in place, its output read line by line.
class Spawned {
public:
    Spawned(const std::string &socket, std::vector<std::string> argv)
    {
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        std::vector<std::string> env{"LD_PRELOAD=" + board::preload_library(),
                                     std::string(qpreload::kSocketEnv) + "=" + socket, "PATH=/usr/bin:/bin"};
        std::vector<char *> args, envp;
        for (auto &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        for (auto &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            // Descriptors the test runner leaked would shift the program's.
            ::close_range(3, ~0U, 0);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = ::fdopen(out[0], "r");
    }
    ~Spawned()
    {
        // A test that stopped early must not wait for a program still waiting.
        if (pid_ > 0) {
            kill();
            (void)wait();
        }
        if (out_)
            std::fclose(out_);
    }

    // The next line of output, or "" at its end.
    std::string line()
    {
        char buf[512];
        if (!std::fgets(buf, sizeof buf, out_))
            return "";
        std::string s(buf);
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        lines_.push_back(s);
        return s;
    }
    // Reads up to the line that starts with `word`.
    std::string until(const std::string &word)
    {
        for (std::string s = line(); !s.empty(); s = line())
            if (s.starts_with(word + " "))
                return s;
        return "";
    }
    // The rest of the output, then the exit status (128 + N for signal N).
    int wait()
    {
        while (!line().empty()) {}
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    void kill() { ::kill(pid_, SIGKILL); }
    // "name result errno" of each call, by name.
    std::map<std::string, std::string> calls() const
    {
        std::map<std::string, std::string> out;
        for (const auto &s : lines_)
            if (auto sp = s.find(' '); sp != std::string::npos)
                out[s.substr(0, sp)] = s.substr(sp + 1);
        return out;
    }

private:
    pid_t pid_ = -1;
    FILE *out_ = nullptr;
    std::vector<std::string> lines_;
};

class Preload : public ::testing::Test {
protected:
    Spawned probe(std::vector<std::string> args)
    {
        args.insert(args.begin(), QUORVEL_PRELOAD_PROBE);
        return Spawned(server_.path(), std::move(args));
    }

    // Unloads once the files the programs held are released: a tty's last
    // release may run on the work queue when another reference (the
    // receive poller's) was held at the close, and a call cut short by its
    // program's end finishes on the board's own time.
    int unload_when_free()
    {
        int rc = -EBUSY;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (rc == -EBUSY && std::chrono::steady_clock::now() < deadline) {
            server_.settle();
            rc = board_.unload();
            if (rc == -EBUSY)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return rc;
    }

    // The board ticks as `quorvel-board` does (250 Hz), not at the tests'
    // quicker rate: a reply byte then has 400 ms, not 100, to come. Several
    // programs of several threads each keep the line busy, and on a loaded
    // host the simulated co-processor can wait longer than 100 ms for its
    // turn, which the module rightly counts as a missing reply.
    qtest::Board board_{{"dev_uart=1", "dev_iic1=1"}, khost::BootConfig{}.hz};
    board::FileServer server_{::testing::TempDir() + "preload-" + std::to_string(::getpid()) + ".sock"};
};

bool have_python_module(const char *name)
{
    return std::system(("/usr/bin/python3 -c 'import " + std::string(name) + "' 2>/dev/null").c_str()) == 0;
}

TEST_F(Preload, SmbusReadWordOfTheLm75FromPython)
{
    if (!have_python_module("smbus2"))
        GTEST_SKIP() << "python3-smbus2 is not installed";
    Spawned py(server_.path(),
               {"/usr/bin/python3", "-c", "import smbus2; print(smbus2.SMBus(0).read_word_data(0x48, 0))"});
    EXPECT_EQ(py.line(), "25"); // 25.0 degrees: 0x19 in the first byte, the word's low one
    EXPECT_EQ(py.wait(), 0);
}

TEST_F(Preload, PyserialAt9600SendsTheLineSettingAndTheWrite)
{
    if (!have_python_module("serial"))
        GTEST_SKIP() << "python3-serial is not installed";
    Spawned py(server_.path(),
               {"/usr/bin/python3", "-c", "import serial; s = serial.Serial('/dev/ttySP0', 9600); s.write(b'ABC')"});
    EXPECT_EQ(py.wait(), 0);
    auto line = board_.sim().with_firmware([](coproc::Firmware &fw) { return fw.model<coproc::UartModel>().line(); });
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->baud_code, 1); // 9600
    bool wrote = false;
    for (auto &r : board_.requests())
        if (r.frame.type() == coproc::DEV_TYPE_UART && r.frame.command == coproc::CMD_WRITE)
            wrote =
                wrote || std::string(r.frame.payload.begin(), r.frame.payload.end()).find("ABC") != std::string::npos;
    EXPECT_TRUE(wrote);
}

TEST_F(Preload, BadPointersGiveEfaultAndTheBoardServesOn)
{
    auto p = probe({"bad_pointers"});
    EXPECT_EQ(p.wait(), 0);
    auto calls = p.calls();
    EXPECT_EQ(calls["ioctl_bad"], "-1 14");
    EXPECT_EQ(calls["rdwr_bad_msgs"], "-1 14");
    EXPECT_EQ(calls["rdwr_bad_buf"], "-1 14");
    EXPECT_EQ(calls["read_bad"], "-1 14");
    EXPECT_EQ(calls["write_bad"], "-1 14");
    EXPECT_EQ(calls["version"], "0 0");
    EXPECT_TRUE(server_.settle().empty());
    EXPECT_EQ(unload_when_free(), 0);
}

TEST_F(Preload, AProgramThatExitsWithoutClosingLeavesTheModuleFree)
{
    auto p = probe({"no_close"});
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.calls()["open_tty"].substr(0, 2), "4 ");
    EXPECT_TRUE(server_.settle().empty());
    EXPECT_EQ(unload_when_free(), 0);
}

TEST_F(Preload, AProgramKilledInAWaitingReadLeavesTheBoardServing)
{
    const auto before = khost::sleeps_of("preload_probe");
    auto p = probe({"block"});
    ASSERT_EQ(p.until("open"), "open 3 0");
    // The read is asleep on the board once its task has slept.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((khost::sleeps_of("preload_probe") - before).sleeps == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT((khost::sleeps_of("preload_probe") - before).sleeps, 0u);
    p.kill();
    EXPECT_EQ(p.wait(), 128 + SIGKILL);
    auto again = probe({"version"});
    EXPECT_EQ(again.wait(), 0);
    EXPECT_EQ(again.calls()["version"], "0 0");
    // The read ends as on a signal; its file goes when it has.
    EXPECT_EQ(unload_when_free(), 0);
}

TEST_F(Preload, PollSelectAndEpollSeeTheTtysInput)
{
    auto p = probe({"readiness"});
    ASSERT_EQ(p.until("ready"), "ready 0 0");
    const uint8_t hi[] = {'h', 'i'};
    board_.sim().feed_uart_rx(hi);
    EXPECT_EQ(p.wait(), 0);
    auto calls = p.calls();
    EXPECT_EQ(calls["poll_empty"], "0 0");
    EXPECT_EQ(calls["poll"], "1 0");
    EXPECT_EQ(calls["revents"], "1 0");
    EXPECT_EQ(calls["select"], "1 0");
    EXPECT_EQ(calls["epoll"], "1 0");
    EXPECT_EQ(calls["bytes"], "hi");
    EXPECT_EQ(calls["poll_after"], "0 0");
    EXPECT_EQ(calls["epoll_after"], "0 0");
    EXPECT_EQ(calls["select_after"], "0 0");
    EXPECT_EQ(calls["read_again"], "-1 11");
}

TEST_F(Preload, ForkSharesTheFileAndExecKeepsOnlyWhatHasNoCloexec)
{
    auto p = probe({"fork_exec"});
    EXPECT_EQ(p.wait(), 0);
    auto calls = p.calls();
    EXPECT_EQ(calls["child_version"], "0 0");
    EXPECT_EQ(calls["parent_version"], "0 0");
    EXPECT_EQ(calls["kept_version"], "0 0");
    EXPECT_EQ(calls["shut_version"], "-1 9");
    EXPECT_EQ(calls["kept_chr"], "1 0");
    EXPECT_TRUE(server_.settle().empty());
    EXPECT_EQ(unload_when_free(), 0);
}

TEST_F(Preload, AVforkedChildClosingItsCopiesLeavesTheParentsDescriptorsTheBoards)
{
    auto p = probe({"vfork_close"});
    EXPECT_EQ(p.wait(), 0);
    const auto calls = p.calls();
    EXPECT_EQ(calls.at("parent_version"), "0 0");
    EXPECT_EQ(calls.at("parent_close"), "0 0");
}

TEST_F(Preload, SeveralThreadedProgramsAtOnce)
{
    std::vector<std::unique_ptr<Spawned>> ps;
    for (int i = 0; i < 3; i++) {
        ps.push_back(
            std::make_unique<Spawned>(server_.path(), std::vector<std::string>{QUORVEL_PRELOAD_PROBE, "threads", "3"}));
    }
    for (auto &p : ps) {
        EXPECT_EQ(p->wait(), 0);
        EXPECT_EQ(p->calls()["good"], "15 0");
    }
    EXPECT_TRUE(server_.settle().empty());
    EXPECT_EQ(unload_when_free(), 0);
}

TEST_F(Preload, StatReaddirReadlinkAndStdioOnTheBoardsPaths)
{
    auto p = probe({"paths"});
    EXPECT_EQ(p.wait(), 0);
    auto calls = p.calls();
    EXPECT_EQ(calls["stat"], "0 0");
    EXPECT_EQ(calls["chr"], "1 0");
    EXPECT_EQ(calls["stat_missing"], "-1 2");
    EXPECT_EQ(calls["access_rw"], "0 0");
    EXPECT_EQ(calls["entry"], "quorvel_config");
    EXPECT_EQ(calls["dev_both"], "1 0");
    EXPECT_EQ(calls["target"], "../../devices/virtual/config_class/quorvel_config");
    EXPECT_EQ(calls["param"], "1");
    EXPECT_EQ(calls["host_file"], "0 0");
}

} // namespace

namespace {

// quorvel-board's run mode: the program's status, and what it left behind
// reported and undone before the module is unloaded.
std::string run_board(const std::string &args, int *status)
{
    FILE *p = ::popen((std::string(QUORVEL_BOARD_BIN) + " " + args + " 2>&1").c_str(), "r");
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p))
        out += buf;
    const int st = ::pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

TEST(RunMode, TheProgramsStatusAndWhatItLeftBehind)
{
    int status = 0;
    EXPECT_EQ(run_board("dev_gpio=0x20 -- sh -c 'echo 205 > /sys/class/gpio/export; "
                        "cat /sys/class/gpio/gpio205/direction; exit 3'",
                        &status),
              "in\nboard: gpio205 was left exported; unexported\n");
    EXPECT_EQ(status, 3);
    EXPECT_EQ(run_board("-- sh -c 'kill -9 $$'", &status), "");
    EXPECT_EQ(status, 128 + SIGKILL);
    run_board("-- /nonexistent/program", &status);
    EXPECT_EQ(status, 127);
    // A process the program left running still holds a file: it is closed
    // so that the module can go.
    // (It says, through a fifo, when it has the file open.)
    EXPECT_EQ(run_board("dev_uart=1 -- sh -c 'd=$(mktemp -d); mkfifo $d/f; "
                        "(exec < /dev/ttySP0; echo > $d/f; exec sleep 10) > /dev/null 2>&1 & "
                        "read x < $d/f; rm -r $d'",
                        &status),
              "board: /dev/ttySP0 was still open in a process the program left; closed\n");
    EXPECT_EQ(status, 0);
}

} // namespace

namespace {

// SPI_IOC_MESSAGE(1) from python3-spidev: the transfer's buffers are
// pointers inside the message, read and written in the program's memory.
TEST(PreloadSpi, SpidevXferReadsTheFlashsJedecId)
{
    if (!have_python_module("spidev"))
        GTEST_SKIP() << "python3-spidev is not installed";
    qtest::Board board({"dev_spi1=1"});
    board::FileServer server(::testing::TempDir() + "preload-spi-" + std::to_string(::getpid()) + ".sock");
    Spawned py(server.path(), {"/usr/bin/python3", "-c",
                               "import spidev; s = spidev.SpiDev(); s.open(4, 0); s.max_speed_hz = 1000000; "
                               "print(s.xfer2([0x9f, 0, 0, 0]))"});
    EXPECT_EQ(py.line(), "[255, 81, 64, 16]");
    EXPECT_EQ(py.wait(), 0);
}

} // namespace

namespace {

// While the program runs, the board's commands reach it through the
// control socket the program finds in QUORVEL_BOARD: here the program
// itself asks the co-processor's serial port to receive "hi" (text is
// quoted), then reads it.
TEST(RunMode, TheControlSocketRunsTheBoardsCommandsMeanwhile)
{
    if (!have_python_module("select"))
        GTEST_SKIP() << "no python3";
    int status = 0;
    const std::string script = "import os, select, socket\n"
                               "s = socket.socket(socket.AF_UNIX)\n"
                               "s.connect(os.environ['QUORVEL_BOARD'])\n"
                               "f = os.open('/dev/ttySP0', os.O_RDWR | os.O_NOCTTY)\n"
                               "s.sendall(b'L lsmod; coproc uart send \\\"hi\\\"\\n')\n"
                               "data = b''\n"
                               "while b'X ' not in data: data += s.recv(4096)\n"
                               "print(data.decode(), end='')\n"
                               "select.select([f], [], [], 20)\n"
                               "print(os.read(f, 10))\n";
    EXPECT_EQ(run_board("dev_uart=1 -- /usr/bin/python3 -c \"" + script + "\"", &status),
              "O quorvel_linux_module\nO sent 2 bytes\nX 0\nb'hi'\n");
    EXPECT_EQ(status, 0);
}

} // namespace
