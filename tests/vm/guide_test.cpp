// The worked examples of docs/user-guide.md, each in C and in Python, run
// on the board in one boot (docs/examples/run-all.sh), and the guide showing
// each as it is in docs/examples.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "run_support.hpp"

using namespace board::testing;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const char *const kExamples[] = {"gpio", "pwm", "adc", "i2c", "spi", "ttysp0", "dht"};

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Guide : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        coproc::Simulator sim;
        RunSpec spec;
        spec.params = {"dev_gpio=0x20", "dev_pwm=1",  "dev_adc=1",   "dev_iic1=1",
                       "dev_spi1=1",    "dev_uart=1", "dev_dht=0x80"};
        spec.program = {"/bin/sh", QUORVEL_EXAMPLES_DIR "/run-all.sh", QUORVEL_EXAMPLES_BIN};
        spec.env = debian_env(std::string("QUORVEL_BOARD_PROGRAM=") + QUORVEL_BOARD_PROGRAM);
        ran_ = run_on_board(sim, spec);
        std::string name;
        for (const auto &line : lines(ran_.out)) {
            if (line.starts_with("== "))
                name = line.substr(3);
            else if (!name.empty())
                out_[name].push_back(line);
        }
    }
    static std::vector<std::string> both(const std::string &example)
    {
        const auto c = out_[example + ".c"];
        EXPECT_EQ(c, out_[example + ".py"]) << "C and Python differ for " << example << "; stderr:\n" << ran_.err;
        return c;
    }

    static inline Ran ran_;
    static inline std::map<std::string, std::vector<std::string>> out_;
};

TEST_F(Guide, EveryExampleIsShownAsItIs)
{
    const std::string guide = read_file(QUORVEL_USER_GUIDE);
    for (const char *example : kExamples)
        for (const char *ext : {".c", ".py"}) {
            const std::string text = read_file(std::string(QUORVEL_EXAMPLES_DIR "/") + example + ext);
            ASSERT_FALSE(text.empty()) << example << ext;
            EXPECT_THAT(guide, HasSubstr(text)) << example << ext << " is not in the guide as it is";
        }
}

TEST_F(Guide, ExamplesGiveTheSameInCAndPython)
{
    EXPECT_EQ(ran_.status, 0) << ran_.err;
    EXPECT_THAT(both("gpio"), ElementsAre("gpio205 = 1"));
    EXPECT_THAT(out_["pwm.c"], ElementsAre("pwm0: period 1000000 ns, duty 250000 ns, on"));
    EXPECT_THAT(out_["pwm.py"], ElementsAre("pwm0: period 1000000 ns, duty 250000 ns, on"));
    EXPECT_THAT(both("adc"), ElementsAre("adc0 = 1234"));
    EXPECT_THAT(both("i2c"), ElementsAre("lm75: 25.0 C"));
    EXPECT_THAT(both("spi"), ElementsAre("jedec id: 51 40 10"));
    EXPECT_THAT(both("ttysp0"), ElementsAre("got 4 bytes: pong"));
    EXPECT_THAT(both("dht"), ElementsAre("humidity 41.0 %, temperature 23.5 C"));
}

} // namespace
