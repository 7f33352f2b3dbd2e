// The host pty bridge: a host program's termios change reaches ttySP0's
// driver as a line-settings frame, its writes leave the co-processor's
// port, and what the port receives comes out of the host pty.
#include "../support/board.hpp" // the booted board, not the shell's Board interface
#include "tty_bridge.hpp"

#include <coproc/models/uart.hpp>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

std::optional<coproc::UartLine> line_of(coproc::Simulator &sim)
{
    return sim.with_firmware([](coproc::Firmware &fw) { return fw.model<coproc::UartModel>().line(); });
}

TEST(TtyBridge, HostProgramsUseTheBoardsTty)
{
    qtest::Board board({"dev_uart=1"});
    std::string error;
    auto bridge = board::TtyBridge::start("/dev/ttySP0", &error);
    ASSERT_TRUE(bridge) << error;
    int fd = ::open(bridge->host_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);

    struct termios t {};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B115200);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    for (int i = 0; i < 200 && !(line_of(board.sim()) && line_of(board.sim())->baud_code == 5); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(line_of(board.sim()).has_value());
    EXPECT_EQ(line_of(board.sim())->baud_code, 5) << "the host program's speed reached set_termios";

    ASSERT_EQ(::write(fd, "ping", 4), 4);
    coproc::Bytes sent;
    for (int i = 0; i < 200 && sent.size() < 4; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sent = board.sim().with_firmware([](coproc::Firmware &fw) { return fw.model<coproc::UartModel>().sent(); });
    }
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "ping");

    board.sim().feed_uart_rx(coproc::Bytes{'p', 'o', 'n', 'g'});
    std::string got;
    for (int i = 0; i < 50 && got.size() < 4; i++) {
        struct pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[16];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, "pong");
    ::close(fd);
    bridge.reset();
    EXPECT_EQ(board.unload_when_free(), 0) << "the bridge's open is gone with it";
}

} // namespace
