// The ecosystem's own clients of the board's interfaces, as Debian ships
// them, against the module on the real kernel: python3-periphery,
// python3-smbus2, python3-spidev, python3-serial, i2c-tools and gpiod. One
// boot runs them all (clients/clients.sh); each is checked against what it
// printed and the frames the simulated co-processor saw for it, and the
// i2c-tools against the board's own commands of the same names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include <khost/kernel.hpp>

#include "run_support.hpp"
#include "session.hpp"
#include "shell.hpp"

using namespace board;
using namespace board::testing;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;

namespace {

const std::vector<std::string> kParams = {"dev_gpio=0x20", "dev_iic1=1", "dev_spi0=1",
                                          "dev_spi1=1",    "dev_uart=1", "dev_pwm=3"};

const std::vector<std::string> kI2cTools = {"i2cdetect -y 0",
                                            "i2cget -y 0 0x48 0x00 w",
                                            "i2cset -y 0 0x50 0x30 0xab",
                                            "i2cget -y 0 0x50 0x30",
                                            "i2ctransfer -y 0 w1@0x48 0x00 r2@0x48",
                                            "i2cdump -y 0 0x48"};

// The receive poller's own requests come while ttySP0 is open, as often as
// its cycle turns: not the client's.
bool poller(const std::string &frame) { return frame.find("UART CONTROL [11]") != std::string::npos; }

std::vector<std::string> requests(const std::vector<std::string> &frames)
{
    std::vector<std::string> out;
    for (const auto &f : frames)
        if (f.starts_with("->") && !poller(f))
            out.push_back(f);
    return out;
}

// True when `want` appears in `have` in this order, other frames between.
::testing::AssertionResult in_order(const std::vector<std::string> &have, const std::vector<std::string> &want)
{
    size_t at = 0;
    for (const auto &f : have)
        if (at < want.size() && f == want[at])
            at++;
    if (at == want.size())
        return ::testing::AssertionSuccess();
    auto r = ::testing::AssertionFailure() << "missing from the frames: " << want[at] << "\nframes:\n";
    for (const auto &f : have)
        r << "  " << f << "\n";
    return r;
}

class Clients : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        coproc::Simulator sim;
        RunSpec spec;
        spec.params = kParams;
        spec.program = {"/bin/sh", QUORVEL_CLIENTS_DIR "/clients.sh"};
        spec.env = debian_env(std::string("QUORVEL_BOARD_PROGRAM=") + QUORVEL_BOARD_PROGRAM);
        ran_ = run_on_board(sim, spec);
        sections_ = split_sections(ran_.out);
    }
    static const Section &section(const std::string &name)
    {
        static const Section none;
        const auto it = sections_.find(name);
        EXPECT_NE(it, sections_.end()) << "no section " << name << "; stderr:\n" << ran_.err;
        return it == sections_.end() ? none : it->second;
    }

    static inline Ran ran_;
    static inline Sections sections_;
};

TEST_F(Clients, AllRanToTheEnd)
{
    EXPECT_EQ(ran_.status, 0) << ran_.err;
    EXPECT_EQ(sections_.size(), kI2cTools.size() + 9);
}

TEST_F(Clients, PeripheryGpioSysfs)
{
    const auto &s = section("periphery GPIO");
    EXPECT_THAT(s.out, ElementsAre("direction out value True"));
    EXPECT_TRUE(in_order(requests(s.frames), {"-> GPIO OPEN [05]", "-> GPIO WRITE [05 01 00]",
                                              "-> GPIO WRITE [05 03 01]", "-> GPIO READ [05]", "-> GPIO CLOSE [05]"}));
}

TEST_F(Clients, PeripheryPwm)
{
    const auto &s = section("periphery PWM");
    EXPECT_THAT(s.out, ElementsAre("period 1000000 duty 250000 enabled True"));
    // Duty 250000 ns (0x03d090) of a 1000000 ns (0x0f4240) period, on, off.
    EXPECT_TRUE(
        in_order(requests(s.frames), {"-> PWM OPEN [00]", "-> PWM WRITE [00 f2 90 d0 03 00 40 42 0f 00]",
                                      "-> PWM WRITE [00 f4 01]", "-> PWM WRITE [00 f4 00]", "-> PWM CLOSE [00]"}));
}

TEST_F(Clients, PeripherySpiAndI2c)
{
    const auto &spi = section("periphery SPI");
    EXPECT_THAT(spi.out, ElementsAre("jedec ['0x51', '0x40', '0x10']"));
    EXPECT_TRUE(in_order(requests(spi.frames), {"-> SPI WRITE [01 9f 00 00 00]"}));
    const auto &i2c = section("periphery I2C");
    EXPECT_THAT(i2c.out, ElementsAre("lm75 ['0x19', '0x0']"));
    EXPECT_THAT(requests(i2c.frames), ElementsAre("-> I2C WRITE [11 48 00 00]", "-> I2C READ [11 48 02]"));
}

TEST_F(Clients, PeripherySerialOnTtySP0)
{
    const auto &s = section("periphery Serial");
    EXPECT_THAT(s.out, ElementsAre("sent 4 bytes", "read b'pong'"));
    EXPECT_TRUE(in_order(requests(s.frames), {"-> UART CONTROL [10 05 08 00 01 01]", "-> UART WRITE [68 69]"}));
}

TEST_F(Clients, Smbus2ByteWordAndBlock)
{
    const auto &s = section("smbus2");
    EXPECT_THAT(s.out, ElementsAre("lm75 word 0x19", "thyst 0x4b", "byte 0x5a", "block [1, 2, 3, 4]"));
    EXPECT_THAT(requests(s.frames),
                ElementsAre("-> I2C REG_READ [11 48 00 02]", "-> I2C REG_WRITE [11 48 02 4b 00]",
                            "-> I2C REG_READ [11 48 02 02]", "-> I2C REG_WRITE [11 50 10 5a]",
                            "-> I2C REG_READ [11 50 10 01]", "-> I2C REG_WRITE [11 50 20 01 02 03 04]",
                            "-> I2C REG_READ [11 50 20 04]"));
}

TEST_F(Clients, SpidevXfer2WithModeSpeedAndBits)
{
    const auto &s = section("spidev");
    EXPECT_THAT(s.out, ElementsAre("mode 1 speed 500000 bits 8", "xfer2 [1, 2, 3]"));
    EXPECT_TRUE(in_order(requests(s.frames), {"-> SPI CONTROL [00 01 80 10 00]", "-> SPI WRITE [00 01 02 03]"}));
}

TEST_F(Clients, PyserialBaudChangesWriteAndRead)
{
    const auto &s = section("pyserial");
    EXPECT_THAT(s.out, ElementsAre("sent 3 bytes", "read b'xyz'"));
    EXPECT_TRUE(in_order(requests(s.frames), {"-> UART CONTROL [10 01 08 00 01 01]",
                                              "-> UART CONTROL [10 02 08 00 01 01]", "-> UART WRITE [61 62 63]"}));
}

TEST_F(Clients, GpiodToolsOnTheCharacterDevice)
{
    const auto &s = section("gpiod");
    ASSERT_GE(s.out.size(), 4u);
    EXPECT_EQ(s.out[0], "gpiochip0 [quorvel-gpio] (48 lines)");
    EXPECT_EQ(s.out[1], "gpiochip0 - 48 lines:");
    EXPECT_THAT(s.out, IsSupersetOf({"\tline   5:      unnamed       unused   input  active-high ", "0"}));
    // gpioset: the line requested as an output at 1, released; gpioget: as
    // an input, read, released.
    EXPECT_THAT(requests(s.frames),
                ElementsAre("-> GPIO OPEN [05]", "-> GPIO WRITE [05 01 01]", "-> GPIO CLOSE [05]", "-> GPIO OPEN [05]",
                            "-> GPIO WRITE [05 02 00]", "-> GPIO READ [05]", "-> GPIO CLOSE [05]"));
}

// The same commands, in the same order from a fresh co-processor, on the
// kernel layer with the board's own i2c-tools: the same output and frames.
TEST_F(Clients, I2cToolsMatchTheBoardsOwnCommands)
{
    coproc::Simulator sim;
    khost::log_clear();
    Session session({.uart = sim.tty_path(), .hz = 250, .params = kParams});
    for (const auto &command : kI2cTools) {
        SCOPED_TRACE(command);
        std::ostringstream out, err;
        Shell shell(session.board(), out, err);
        const size_t before = sim.requests().size();
        shell.run_text(command, true);
        const auto all = sim.requests();
        const auto frames = decoded({all.begin() + static_cast<long>(before), all.end()});
        const auto &s = section(command);
        EXPECT_EQ(s.out, lines(out.str()));
        EXPECT_EQ(s.frames, frames);
    }
    std::ostringstream ignored;
    session.leave(ignored);
}

} // namespace
