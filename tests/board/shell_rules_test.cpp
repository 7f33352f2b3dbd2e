// The shell as a person meets it: one rule for numbers, bytes and text, help
// that answers, errors that say why, trace filters and files, Ctrl-C.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "coproc/frame.hpp"
#include "fake_board.hpp"
#include "interrupt.hpp"
#include "pcap.hpp"
#include "shell.hpp"

using namespace board;
using khost::SerialEvent;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Dir = SerialEvent::Dir;
using Bytes = std::vector<uint8_t>;

namespace {

struct Rules : ::testing::Test {
    FakeBoard fake;
    std::ostringstream out, err;
    Shell shell{fake, out, err};

    Outcome run(const std::string &text) { return shell.run_text(text, true); }
    void TearDown() override { clear_interrupt(); }
};

Bytes request(uint8_t type, uint8_t command, const Bytes &payload, uint8_t tail = 0xA1)
{
    return coproc::encode_request(type, command, payload, tail);
}

// A poll of the UART's receive count and its answer, then a GPIO write and
// its answer.
std::vector<SerialEvent> poll_and_gpio()
{
    return {
        {Dir::ToPeer, 1'000'000, request(coproc::DEV_TYPE_UART, coproc::CMD_CONTROL, {coproc::CTRL_RX_COUNT})},
        {Dir::FromPeer, 1'100'000, coproc::encode_reply(0x83, 7, 0, Bytes{0}, 0xA1)},
        {Dir::ToPeer, 2'000'000, request(coproc::DEV_TYPE_GPIO, coproc::CMD_WRITE, {205 - 200, 1}, 0xA2)},
        {Dir::FromPeer, 2'100'000, coproc::encode_reply(0x84, 2, 0, Bytes{0}, 0xA2)},
    };
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

} // namespace

TEST_F(Rules, QuotedWordsReachCoprocAsText)
{
    EXPECT_EQ(run("coproc uart send be \"be\" 'a b' 0x0d"), Outcome::Ok);
    EXPECT_THAT(fake.coproc_args, ElementsAre("uart", "send", "be", "\"be\"", "\"a b\"", "0x0d"));
}

TEST_F(Rules, HelpSaysWhatItDoesNotKnow)
{
    EXPECT_EQ(run("help bogus"), Outcome::Usage);
    EXPECT_THAT(err.str(), HasSubstr("help: no such command 'bogus'"));
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(run("help sleep"), Outcome::Ok);
    EXPECT_THAT(out.str(), HasSubstr("sleep MS"));
    EXPECT_EQ(run("help"), Outcome::Ok);
    EXPECT_THAT(out.str(), HasSubstr("bytes are hex, with or without"));
    EXPECT_THAT(out.str(), HasSubstr("crw------- 254, 0 quorvel_config")) << "the form ls -l prints";
}

TEST_F(Rules, FailedOpenSaysWhy)
{
    fake.open_result = -2;
    EXPECT_EQ(run("open /dev/nope"), Outcome::Ok);
    EXPECT_EQ(out.str(), "-2 (No such file or directory)\n");
}

TEST_F(Rules, TraceFiltersByArea)
{
    fake.traces = {poll_and_gpio(), poll_and_gpio(), poll_and_gpio(), poll_and_gpio()};
    run("trace gpio");
    auto got = lines(out.str());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_THAT(got[0], HasSubstr("GPIO WRITE"));
    EXPECT_THAT(got[1], HasSubstr("<-"));

    out.str("");
    run("trace -x uart-poll");
    EXPECT_THAT(out.str(), Not(HasSubstr("UART"))) << "the poll and its reply both go";
    EXPECT_EQ(lines(out.str()).size(), 2u);

    out.str("");
    run("trace uart-poll");
    EXPECT_EQ(lines(out.str()).size(), 2u);
    EXPECT_THAT(out.str(), HasSubstr("UART CONTROL [11]"));

    out.str("");
    run("trace -n 1");
    got = lines(out.str());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], HasSubstr("<-     2.100 GPIO")) << "the newest line";

    EXPECT_EQ(run("trace bogus"), Outcome::Usage);
    EXPECT_THAT(err.str(), HasSubstr("no area 'bogus'"));
}

TEST_F(Rules, TraceFollowsUntilCtrlC)
{
    fake.traces = {poll_and_gpio(), {}, poll_and_gpio()};
    int takes = 0;
    fake.on_trace_take = [&] {
        if (++takes == 3)
            request_interrupt(); // as Ctrl-C would, once the third batch is in
    };
    EXPECT_EQ(run("trace -f gpio; open /x"), Outcome::Interrupted);
    EXPECT_EQ(lines(out.str()).size(), 4u) << "both batches, filtered";
    EXPECT_THAT(fake.calls, Not(::testing::Contains("open /x 2"))) << "the rest of the line is not run";
}

TEST_F(Rules, CtrlCEndsSleepAndTheLine)
{
    request_interrupt(); // arrives while sleep waits
    EXPECT_EQ(run("sleep 3600000; open /x"), Outcome::Interrupted);
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(Rules, TraceWritesAPcapFile)
{
    const auto path =
        std::filesystem::temp_directory_path() / ("quorvel-trace-" + std::to_string(::getpid()) + ".pcap");
    fake.traces = {poll_and_gpio()};
    EXPECT_EQ(run("trace -x uart-poll -w " + path.string()), Outcome::Ok);
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), {});
    std::filesystem::remove(path);
    ASSERT_GE(file.size(), 24u);
    auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, file.data() + at, 4);
        return v;
    };
    EXPECT_EQ(u32(0), 0xa1b2c3d4u);
    EXPECT_EQ(u32(20), kPcapLinkType);
    // Two packets: the GPIO request and its reply, each a direction byte and the frame.
    const Bytes gpio = poll_and_gpio()[2].bytes;
    size_t at = 24;
    ASSERT_GE(file.size(), at + 16 + 1 + gpio.size());
    EXPECT_EQ(u32(at), 0u);
    EXPECT_EQ(u32(at + 4), 2000u) << "microseconds since boot";
    EXPECT_EQ(u32(at + 8), gpio.size() + 1);
    EXPECT_EQ(file[at + 16], static_cast<char>(PcapDir::Request));
    EXPECT_EQ(Bytes(file.begin() + static_cast<long>(at) + 17, file.begin() + static_cast<long>(at + 17 + gpio.size())),
              gpio);
    at += 16 + 1 + gpio.size();
    ASSERT_GT(file.size(), at + 16);
    EXPECT_EQ(file[at + 16], static_cast<char>(PcapDir::Reply));
    EXPECT_EQ(file.size(), at + 16 + u32(at + 8));
}
